# The Debian package of what `cmake --install` puts under the prefix. Its
# run-time dependencies are computed from the installed binaries by
# dpkg-shlibdeps, never written here; only what no binary links (the engine
# library the SDK layout links to) would need naming, and the helper links
# that one itself.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavirel-desktop-native)
set(CPACK_PACKAGE_VERSION 0.1.0)
set(CPACK_PACKAGE_CONTACT "Tavirel desktop team <desktop@tavirel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SIP softphone helper and JNI location library for the Tavirel desktop application")
set(CPACK_PACKAGE_DESCRIPTION "The desktop application's native parts, in /usr/lib/tavirel: tavirel-sip-helper, driven over stdin and stdout with one JSON request per line, and libtavirel_location.so, loaded by the application's JVM.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
