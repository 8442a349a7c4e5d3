#pragma once

// The confinement of every process that reads a document: the probe, the
// renderer, each render service worker and the helper programs they start
// (pdfinfo, pdftoppm, qpdf). Applied before a document is opened, for the
// rest of the process's life:
//   - no new privileges (PR_SET_NO_NEW_PRIVS);
//   - a seccomp allow-list of what reading PDFs and writing images needs;
//     anything else (sockets, connections, ptrace, mount, bpf, key rings,
//     namespaces, exec of anything but the helper programs) fails with EPERM;
//   - Landlock, where the kernel has it: reading only the document, the
//     program itself and the system's libraries and fonts; writing only
//     beneath the output folder; executing only the helper programs;
//   - resource limits: address space, file size, open files, CPU time.
// Every part degrades on its own: on a kernel without it the process runs
// without that part, and status() says what is in force.
// The design, and what to do when a change needs a new system call, is in
// CONTRIBUTING.md ("The sandbox").

#include <linux/filter.h>
#include <string>
#include <vector>

namespace rw::sandbox {

struct Rules {
    // Files the process reads: its documents (only these files).
    std::vector<std::string> documents;
    // Folders beneath which it creates, writes, renames and removes files.
    std::vector<std::string> writeFolders;
};

struct Protections {
    bool noNewPrivs = false;
    bool seccomp = false;
    int landlockAbi = 0;   // the kernel's Landlock ABI; 0: none
    bool landlock = false; // a Landlock domain is in force (reading, writing, executing)
    bool limits = false;
};

// Confines the calling process for good (call it while it has one thread:
// Landlock binds the calling thread and what it starts). Never fails the
// caller: what cannot be applied is left out and not reported in the
// result.
Protections confine(const Rules &rules);

// The protections a process confined with `rules` would have here, in one
// line ("no new privileges, seccomp filter, Landlock ABI 7, resource
// limits"; parts missing are named as missing).
std::string describe(const Protections &protections);

// The kernel's Landlock ABI version (0: none or turned off).
int landlockAbi();

// Gives a render service worker's next job the CPU time budget of a job
// (the limit counts the whole process's time).
void startJobBudget();

// The full path of a helper program the confined processes may start
// ("pdfinfo", "pdftoppm", "qpdf"), looked up in PATH once, before the
// first confinement; empty when it is not there. The seccomp filter lets
// execve run exactly these strings.
const std::string &helperPath(const std::string &name);

// The confinement of a helper program's process, prepared before fork and
// applied between fork and exec (only system calls there): from then on it
// may execute `program` (a helperPath() string) and nothing else.
class ChildConfinement {
public:
    explicit ChildConfinement(const std::string &program);
    ~ChildConfinement();
    ChildConfinement(const ChildConfinement &) = delete;
    ChildConfinement &operator=(const ChildConfinement &) = delete;

    // Async-signal-safe; false when a part that was prepared failed.
    bool applyInChild() const noexcept;

private:
    int ruleset_ = -1;
    std::vector<sock_filter> filter_;
};

} // namespace rw::sandbox
