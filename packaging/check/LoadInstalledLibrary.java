// Loads the installed location library into this JVM, as the application
// does; JNI_OnLoad runs, so a library that cannot start in a JVM fails here.
public final class LoadInstalledLibrary {
  public static void main(String[] args) {
    System.load(args[0]);
    System.out.println("loaded " + args[0]);
  }
}
