#include "common/sandbox.h"

#include "common/subprocess.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

namespace rw::sandbox {

namespace {

// Landlock as newer kernels know it (the installed header may be older):
// the ruleset's size tells the kernel which fields it holds.
struct RulesetAttr {
    std::uint64_t handledAccessFs;
    std::uint64_t handledAccessNet;
    std::uint64_t scoped;
};
constexpr std::uint64_t kTruncate = 1ULL << 14;  // ABI 3
constexpr std::uint64_t kIoctlDev = 1ULL << 15;  // ABI 5
constexpr std::uint64_t kNetBindTcp = 1ULL << 0; // ABI 4
constexpr std::uint64_t kNetConnectTcp = 1ULL << 1;
constexpr std::uint64_t kScopeAbstractUnix = 1ULL << 0; // ABI 6
constexpr std::uint64_t kScopeSignal = 1ULL << 1;

constexpr std::uint64_t kRead = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
constexpr std::uint64_t kWrite =
    LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE
    | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG | kTruncate;
// Never granted: special files, links, moving files between folders.
constexpr std::uint64_t kNever = LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_SOCK
                                 | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK
                                 | LANDLOCK_ACCESS_FS_MAKE_SYM | LANDLOCK_ACCESS_FS_REFER
                                 | kIoctlDev;
constexpr std::uint64_t kFileRights =
    LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE
    | kTruncate | kIoctlDev;

// The file system rights an ABI knows.
std::uint64_t knownRights(int abi)
{
    std::uint64_t rights = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1; // ABI 1
    if (abi >= 2)
        rights |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3)
        rights |= kTruncate;
    if (abi >= 5)
        rights |= kIoctlDev;
    return rights;
}

int createRuleset(const RulesetAttr *attr, std::size_t size, unsigned flags)
{
    return int(::syscall(__NR_landlock_create_ruleset, attr, size, flags));
}

// Adds "`rights` beneath `path`" (for a file: on the file alone, and only
// the rights a file can have); a path that is not there is left out.
void allowPath(int ruleset, const std::string &path, std::uint64_t rights, std::uint64_t handled)
{
    const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st {};
    if (::fstat(fd, &st) == 0) {
        if (!S_ISDIR(st.st_mode))
            rights &= kFileRights;
        landlock_path_beneath_attr rule{};
        rule.allowed_access = rights & handled;
        rule.parent_fd = fd;
        if (rule.allowed_access != 0)
            ::syscall(__NR_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
    }
    ::close(fd);
}

std::string ownExecutable()
{
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    return n > 0 ? std::string(self, std::size_t(n)) : std::string();
}

// The ELF interpreter the helper programs start through.
const char *const kLoaders[] = {"/lib64/ld-linux-x86-64.so.2", "/lib/ld-linux-aarch64.so.1",
                                "/lib/ld-linux-armhf.so.3", "/lib/ld-linux.so.2"};

// A ruleset for `rules` (and -1 when the kernel has no Landlock).
int buildRuleset(const Rules &rules, int abi)
{
    if (abi <= 0)
        return -1;
    const std::uint64_t handled = (kRead | kWrite | kNever | LANDLOCK_ACCESS_FS_EXECUTE) & knownRights(abi);
    RulesetAttr attr{handled, 0, 0};
    std::size_t size = sizeof attr.handledAccessFs;
    if (abi >= 4) {
        attr.handledAccessNet = kNetBindTcp | kNetConnectTcp;
        size = offsetof(RulesetAttr, scoped);
    }
    if (abi >= 6) {
        attr.scoped = kScopeAbstractUnix | kScopeSignal;
        size = sizeof attr;
    }
    const int ruleset = createRuleset(&attr, size, 0);
    if (ruleset < 0)
        return -1;

    // The system's libraries, fonts and the files the C library, fontconfig
    // and the helper programs read; the program itself.
    for (const char *system : {"/usr", "/lib", "/lib64", "/lib32", "/etc/fonts", "/etc/ld.so.cache",
                               "/etc/localtime", "/etc/poppler", "/var/cache/fontconfig",
                               "/sys/devices/system/cpu", "/dev/urandom", "/proc/self"})
        allowPath(ruleset, system, kRead, handled);
    const char *cache = std::getenv("XDG_CACHE_HOME");
    const char *home = std::getenv("HOME");
    if (cache && cache[0] == '/')
        allowPath(ruleset, std::string(cache) + "/fontconfig", kRead, handled);
    else if (home && home[0] == '/')
        allowPath(ruleset, std::string(home) + "/.cache/fontconfig", kRead, handled);
    allowPath(ruleset, ownExecutable(), LANDLOCK_ACCESS_FS_READ_FILE, handled);
    allowPath(ruleset, "/dev/null", LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE,
              handled);

    for (const std::string &document : rules.documents)
        allowPath(ruleset, document, LANDLOCK_ACCESS_FS_READ_FILE, handled);
    for (const std::string &folder : rules.writeFolders)
        allowPath(ruleset, folder, kRead | kWrite, handled);
    // The helper programs, and the interpreter they start through.
    for (const char *helper : {"pdfinfo", "pdftoppm", "qpdf"})
        allowPath(ruleset, helperPath(helper), LANDLOCK_ACCESS_FS_EXECUTE | kRead, handled);
    for (const char *loader : kLoaders)
        allowPath(ruleset, loader, LANDLOCK_ACCESS_FS_EXECUTE | kRead, handled);
    return ruleset;
}

// (A call this architecture lacks has a negative number: left out.)
void addRules(scmp_filter_ctx ctx, std::initializer_list<int> calls)
{
    for (const int call : calls)
        seccomp_rule_add(ctx, SCMP_ACT_ALLOW, call, 0);
}

// The system calls a confined process may make; the rest fail with EPERM.
// Grouped by purpose; see CONTRIBUTING.md before adding one.
bool loadFilter()
{
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (!ctx)
        return false;
    // Files: Landlock decides which ones.
    addRules(ctx, {SCMP_SYS(read), SCMP_SYS(write), SCMP_SYS(readv), SCMP_SYS(writev),
                   SCMP_SYS(pread64), SCMP_SYS(pwrite64), SCMP_SYS(preadv), SCMP_SYS(pwritev),
                   SCMP_SYS(preadv2), SCMP_SYS(pwritev2), SCMP_SYS(lseek), SCMP_SYS(close),
                   SCMP_SYS(close_range), SCMP_SYS(open), SCMP_SYS(openat), SCMP_SYS(openat2),
                   SCMP_SYS(creat), SCMP_SYS(stat), SCMP_SYS(fstat), SCMP_SYS(lstat),
                   SCMP_SYS(newfstatat), SCMP_SYS(statx), SCMP_SYS(statfs), SCMP_SYS(fstatfs),
                   SCMP_SYS(access), SCMP_SYS(faccessat), SCMP_SYS(faccessat2),
                   SCMP_SYS(readlink), SCMP_SYS(readlinkat), SCMP_SYS(getdents),
                   SCMP_SYS(getdents64), SCMP_SYS(getcwd), SCMP_SYS(chdir), SCMP_SYS(fchdir),
                   SCMP_SYS(rename), SCMP_SYS(renameat), SCMP_SYS(renameat2), SCMP_SYS(unlink),
                   SCMP_SYS(unlinkat), SCMP_SYS(mkdir), SCMP_SYS(mkdirat), SCMP_SYS(rmdir),
                   SCMP_SYS(ftruncate), SCMP_SYS(truncate), SCMP_SYS(fallocate), SCMP_SYS(fsync),
                   SCMP_SYS(fdatasync), SCMP_SYS(fadvise64), SCMP_SYS(readahead),
                   SCMP_SYS(fchmod), SCMP_SYS(umask), SCMP_SYS(flock), SCMP_SYS(fcntl),
                   SCMP_SYS(dup), SCMP_SYS(dup2), SCMP_SYS(dup3), SCMP_SYS(pipe), SCMP_SYS(pipe2),
                   SCMP_SYS(sendfile), SCMP_SYS(copy_file_range), SCMP_SYS(splice)});
    // Memory, threads, time, signals, the process itself.
    addRules(ctx, {SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(mprotect),
                   SCMP_SYS(madvise), SCMP_SYS(brk), SCMP_SYS(msync), SCMP_SYS(membarrier),
                   SCMP_SYS(futex), SCMP_SYS(futex_waitv), SCMP_SYS(set_robust_list),
                   SCMP_SYS(rseq), SCMP_SYS(set_tid_address), SCMP_SYS(arch_prctl),
                   SCMP_SYS(sched_yield), SCMP_SYS(sched_getaffinity),
                   SCMP_SYS(sched_setaffinity), SCMP_SYS(sched_getparam),
                   SCMP_SYS(sched_setparam), SCMP_SYS(sched_getscheduler),
                   SCMP_SYS(sched_setscheduler), SCMP_SYS(sched_get_priority_max),
                   SCMP_SYS(sched_get_priority_min), SCMP_SYS(sched_getattr),
                   SCMP_SYS(sched_setattr), SCMP_SYS(getcpu), SCMP_SYS(getpriority),
                   SCMP_SYS(setpriority), SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres),
                   SCMP_SYS(clock_nanosleep), SCMP_SYS(nanosleep), SCMP_SYS(gettimeofday),
                   SCMP_SYS(time), SCMP_SYS(times), SCMP_SYS(getrusage), SCMP_SYS(timer_create),
                   SCMP_SYS(timer_settime), SCMP_SYS(timer_gettime), SCMP_SYS(timer_delete),
                   SCMP_SYS(setitimer), SCMP_SYS(getitimer), SCMP_SYS(alarm),
                   SCMP_SYS(rt_sigaction), SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigreturn),
                   SCMP_SYS(rt_sigsuspend), SCMP_SYS(rt_sigpending), SCMP_SYS(rt_sigtimedwait),
                   SCMP_SYS(sigaltstack), SCMP_SYS(pause), SCMP_SYS(kill), SCMP_SYS(tgkill),
                   SCMP_SYS(tkill), SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(wait4),
                   // pidfd_open: a helper's end is waited for on its pidfd.
                   SCMP_SYS(waitid), SCMP_SYS(pidfd_open), SCMP_SYS(restart_syscall), SCMP_SYS(getpid),
                   SCMP_SYS(getppid), SCMP_SYS(gettid), SCMP_SYS(getuid), SCMP_SYS(geteuid),
                   SCMP_SYS(getgid), SCMP_SYS(getegid), SCMP_SYS(getgroups), SCMP_SYS(getresuid),
                   SCMP_SYS(getresgid), SCMP_SYS(getpgrp), SCMP_SYS(getpgid), SCMP_SYS(getsid),
                   SCMP_SYS(capget), SCMP_SYS(getrlimit), SCMP_SYS(setrlimit), SCMP_SYS(uname),
                   SCMP_SYS(sysinfo), SCMP_SYS(getrandom), SCMP_SYS(prctl), SCMP_SYS(seccomp),
                   SCMP_SYS(landlock_create_ruleset), SCMP_SYS(landlock_add_rule),
                   SCMP_SYS(landlock_restrict_self), SCMP_SYS(poll), SCMP_SYS(ppoll),
                   SCMP_SYS(select), SCMP_SYS(pselect6), SCMP_SYS(epoll_create),
                   SCMP_SYS(epoll_create1), SCMP_SYS(epoll_ctl), SCMP_SYS(epoll_wait),
                   SCMP_SYS(epoll_pwait), SCMP_SYS(epoll_pwait2), SCMP_SYS(eventfd2)});
    // Sockets it already holds (a worker's channel, descriptors passed to
    // it): no new socket, no connection.
    addRules(ctx, {SCMP_SYS(recvmsg), SCMP_SYS(sendmsg), SCMP_SYS(recvfrom), SCMP_SYS(sendto),
                   SCMP_SYS(shutdown)});
    // Limits of its own only.
    seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(prlimit64), 1, SCMP_A0(SCMP_CMP_EQ, 0));
    // Threads and the helper programs' processes, never a new namespace;
    // clone3 hides its flags from the filter, so the C library falls back
    // to clone.
    const scmp_datum_t namespaces = CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWUSER
                                    | CLONE_NEWPID | CLONE_NEWNET | CLONE_NEWCGROUP;
    seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1,
                     SCMP_A0(SCMP_CMP_MASKED_EQ, namespaces, 0));
    seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
    seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(fork), 0);
    seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(vfork), 0);
    // Terminal and descriptor queries, not terminal input (TIOCSTI).
    for (const unsigned long request : {TCGETS, TIOCGWINSZ, TIOCGPGRP, FIONREAD, FIONBIO,
                                        FIOCLEX, FIONCLEX})
        seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(ioctl), 1,
                         SCMP_A1(SCMP_CMP_MASKED_EQ, 0xffffffffUL, request));
    // The helper programs, by the very strings helperPath() holds.
    for (const char *helper : {"pdfinfo", "pdftoppm", "qpdf"}) {
        const std::string &path = helperPath(helper);
        if (!path.empty())
            seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(execve), 1,
                             SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(std::uintptr_t(path.c_str()))));
    }
    // Keep the kernel's own no-new-privileges bit (set before).
    seccomp_attr_set(ctx, SCMP_FLTATR_CTL_NNP, 0);
    const bool loaded = seccomp_load(ctx) == 0;
    seccomp_release(ctx);
    return loaded;
}

// Lowers a limit (never raises one).
bool lower(int resource, rlim_t value, rlim_t hard)
{
    rlimit current{};
    if (::getrlimit(static_cast<__rlimit_resource>(resource), &current) != 0)
        return false;
    rlimit wanted{std::min(current.rlim_cur, value), std::min(current.rlim_max, hard)};
    wanted.rlim_cur = std::min(wanted.rlim_cur, wanted.rlim_max);
    return ::setrlimit(static_cast<__rlimit_resource>(resource), &wanted) == 0;
}

// Sized for the largest legitimate job: a 2400 dpi page buffer per
// rendering thread, each thread's malloc arena and stack, a decrypted copy
// of a large document.
constexpr rlim_t kGiB = rlim_t(1) << 30;
constexpr rlim_t kFileSize = 16 * kGiB;
constexpr rlim_t kJobCpuSeconds = 4 * 3600;

// Each rendering thread (at most 256) holds a descriptor per rendering
// token, one token per core.
rlim_t openFiles()
{
    const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
    return 1024 + 256 * rlim_t(cores > 0 ? cores : 1);
}

[[maybe_unused]] rlim_t addressSpace()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    const rlim_t memory = pages > 0 && pageSize > 0 ? rlim_t(pages) * rlim_t(pageSize) : 0;
    return std::max<rlim_t>(32 * kGiB, 2 * memory);
}

bool applyLimits()
{
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer has reserved terabytes of address space already.
    bool ok = true;
#else
    bool ok = lower(RLIMIT_AS, addressSpace(), RLIM_INFINITY);
#endif
    ok = lower(RLIMIT_FSIZE, kFileSize, kFileSize) && ok;
    ok = lower(RLIMIT_NOFILE, openFiles(), openFiles()) && ok;
    rusage used{};
    ::getrusage(RUSAGE_SELF, &used);
    ok = lower(RLIMIT_CPU, rlim_t(used.ru_utime.tv_sec + used.ru_stime.tv_sec) + kJobCpuSeconds,
               RLIM_INFINITY)
         && ok;
    return ok;
}

bool noNewPrivsSet()
{
    return ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1;
}

bool filterInForce()
{
    // /proc/self/status "Seccomp: 2"; prctl says the same.
    return ::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) == 2;
}

} // namespace

int landlockAbi()
{
    const int abi = createRuleset(nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi > 0 ? abi : 0;
}

const std::string &helperPath(const std::string &name)
{
    // Resolved once, before the first confinement, and never changed: the
    // filter compares execve's path argument with these very strings.
    struct Helpers {
        std::string pdfinfo, pdftoppm, qpdf, none;
        static std::string find(const char *program) { return findInPath(program, true); }
    };
    static const Helpers helpers{Helpers::find("pdfinfo"), Helpers::find("pdftoppm"),
                                 Helpers::find("qpdf"), {}};
    if (name == "pdfinfo")
        return helpers.pdfinfo;
    if (name == "pdftoppm")
        return helpers.pdftoppm;
    if (name == "qpdf")
        return helpers.qpdf;
    return helpers.none;
}

Protections confine(const Rules &rules)
{
    Protections p;
#ifdef RW_NO_SANDBOX
    (void)rules;
    return p;
#endif
    for (const char *helper : {"pdfinfo", "pdftoppm", "qpdf"})
        helperPath(helper);
    p.limits = applyLimits();
    p.noNewPrivs = ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && noNewPrivsSet();
    p.landlockAbi = landlockAbi();
    const int ruleset = buildRuleset(rules, p.landlockAbi);
    if (ruleset >= 0) {
        p.landlock = p.noNewPrivs && ::syscall(__NR_landlock_restrict_self, ruleset, 0) == 0;
        ::close(ruleset);
    }
    p.seccomp = p.noNewPrivs && loadFilter() && filterInForce();
    return p;
}

std::string describe(const Protections &p)
{
    std::string out = p.noNewPrivs ? "no new privileges" : "new privileges possible";
    out += p.seccomp ? ", seccomp filter" : ", no seccomp filter";
    if (p.landlock)
        out += ", Landlock ABI " + std::to_string(p.landlockAbi);
    else
        out += p.landlockAbi > 0 ? ", Landlock not applied" : ", no Landlock (kernel)";
    out += p.limits ? ", resource limits" : ", no resource limits";
    return out;
}

void startJobBudget()
{
    rusage used{};
    if (::getrusage(RUSAGE_SELF, &used) != 0)
        return;
    rlimit cpu{};
    if (::getrlimit(RLIMIT_CPU, &cpu) != 0 || cpu.rlim_cur == RLIM_INFINITY)
        return;
    const rlim_t wanted = rlim_t(used.ru_utime.tv_sec + used.ru_stime.tv_sec) + kJobCpuSeconds;
    cpu.rlim_cur = std::min(wanted, cpu.rlim_max);
    ::setrlimit(RLIMIT_CPU, &cpu);
}

ChildConfinement::ChildConfinement(const std::string &program)
{
    // Landlock: executing `program` (and its interpreter) only.
    const int abi = landlockAbi();
    if (abi > 0) {
        RulesetAttr attr{LANDLOCK_ACCESS_FS_EXECUTE, 0, 0};
        ruleset_ = createRuleset(&attr, sizeof attr.handledAccessFs, 0);
        if (ruleset_ >= 0) {
            allowPath(ruleset_, program, LANDLOCK_ACCESS_FS_EXECUTE, LANDLOCK_ACCESS_FS_EXECUTE);
            for (const char *loader : kLoaders)
                allowPath(ruleset_, loader, LANDLOCK_ACCESS_FS_EXECUTE, LANDLOCK_ACCESS_FS_EXECUTE);
        }
    }
    // seccomp: execve of exactly this string; execveat never. Everything
    // else is left to the filters already in force.
    const auto address = std::uintptr_t(program.c_str());
    const auto low = std::uint32_t(address & 0xffffffffU);
    const auto high = std::uint32_t(std::uint64_t(address) >> 32);
    constexpr std::uint32_t arg0Low = offsetof(seccomp_data, args);
    constexpr std::uint32_t arg0High = arg0Low + 4;
    filter_ = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, seccomp_arch_native(), 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_execveat, 5, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_execve, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg0Low),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, low, 0, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg0High),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, high, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
}

ChildConfinement::~ChildConfinement()
{
    if (ruleset_ >= 0)
        ::close(ruleset_);
}

bool ChildConfinement::applyInChild() const noexcept
{
#ifdef RW_NO_SANDBOX
    return true;
#endif
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    if (ruleset_ >= 0 && ::syscall(__NR_landlock_restrict_self, ruleset_, 0) != 0)
        return false;
    const sock_fprog program{static_cast<unsigned short>(filter_.size()),
                             const_cast<sock_filter *>(filter_.data())};
    // A kernel without seccomp filters: the call fails with EINVAL; run
    // the helper as the parent's confinement allows.
    if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) != 0 && errno != EINVAL)
        return false;
    return true;
}

} // namespace rw::sandbox
