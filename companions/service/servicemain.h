#pragma once

// The render service: one per conversion run, started by the program as
//
//   rwrender --serve SOCKET
//
// (SOCKET a path, or "@name" for an abstract socket). It makes MuPDF ready
// once, then hands each job a client sends to an idle worker, forking a
// new one when none is idle (up to --workers N; a job waits for one
// beyond that, and an idle worker ends after a while); the worker runs the same per-document code as
// the stand-alone program, in the client's current folder with its
// descriptors, environment and file creation mask, and its exit status
// goes back to the client. A worker takes one job at a time and serves
// further jobs only after one that ended well (see serviceworker.cpp for
// when it retires), so a document never shares a process with another in
// flight: a worker that crashes or is killed fails its document alone. A
// client that stops or goes away has its worker killed at once. Only
// processes of the service's own user are served. TERM, INT or HUP (or the
// end of the program that started it) end the service with every worker.

namespace rw::service {

// `maxWorkers`: workers at most (one per job the program can have in
// flight); 0 for the default.
int serveMain(const char *socketName, int maxWorkers = 0);

} // namespace rw::service
