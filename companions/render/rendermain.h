#pragma once

// The companions' per-document entry points, shared by the stand-alone
// programs and the render service's workers. `warm` is the context the
// service made ready; null: the program makes its own.

namespace rw {
struct WarmStart;
}

// rwrender: renders a document's pages (see render/render_main.cpp).
int renderMain(int argc, char **argv, const rw::WarmStart *warm = nullptr);

// pdftk.exe: the password probe (see probe/probe_main.cpp).
int probeMain(int argc, char **argv, const rw::WarmStart *warm = nullptr);
