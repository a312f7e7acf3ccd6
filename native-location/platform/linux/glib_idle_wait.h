// GLib's main context, run on the library's main queue thread.
//
// GDBus delivers replies and signals through a GMainContext. Rather than
// give GLib a thread of its own (and then hop every callback over to the
// main queue), the main queue's idle wait becomes that context's poll: one
// thread runs queue tasks and D-Bus callbacks alike, so the driver's "main
// thread only" rule holds for GeoClue2 without a lock or a hop.
#pragma once

#include <glib.h>

#include "platform/main_queue.h"

namespace tavirel::location {

// The private GMainContext owned by `queue`'s thread, made and installed as
// the queue's idle wait on first use. It is the thread-default context from
// then on, so async GIO calls made on the thread report back to it. Queue
// thread only; borrowed: valid until the queue stops.
GMainContext* glibContextOn(MainQueue& queue);

// Brings in GLib's socket class while keeping the calling process's SIGPIPE
// disposition, not even changed for a moment: the class sets SIGPIPE to
// "ignore" when it is first used, and the JVM checks that nobody changed
// its handler. GLib's own sockets
// send with MSG_NOSIGNAL, so they need no ignored SIGPIPE. Call before
// any other GIO call that may touch sockets (even working out a bus
// address does). Any thread; only the first call does anything.
void initGlibSocketsKeepingSigpipe();

}  // namespace tavirel::location
