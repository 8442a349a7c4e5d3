// rw_peakmem: runs a command and reports its wall time, CPU time and the
// peak memory of the command together with everything it starts.
//
//   rw_peakmem OUTPUT_FILE COMMAND [ARGS...]
//
// Every 10 ms it adds up the proportional set size (Pss, shared pages split
// among the processes sharing them) of the command and all its descendants;
// the largest sum is the peak. Appends one line to OUTPUT_FILE:
//   <wall seconds> <cpu seconds> <peak KiB> <exit status> <minor page faults>
// (CPU time and page faults of every descendant that was waited for).
// and exits with the command's status.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Parent of every process, from /proc/<pid>/stat.
std::map<pid_t, pid_t> parents()
{
    std::map<pid_t, pid_t> result;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return result;
    while (const dirent *e = ::readdir(proc)) {
        const pid_t pid = pid_t(std::atoi(e->d_name));
        if (pid <= 0)
            continue;
        std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        const auto close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        result[pid] = ppid;
    }
    ::closedir(proc);
    return result;
}

long pssKib(pid_t pid)
{
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string key;
    long value = 0;
    while (rollup >> key) {
        if (key == "Pss:") {
            rollup >> value;
            return value;
        }
        rollup.ignore(1 << 20, '\n');
    }
    return 0;
}

long treePss(pid_t root)
{
    const std::map<pid_t, pid_t> parent = parents();
    std::set<pid_t> tree{root};
    bool grew = true;
    while (grew) {
        grew = false;
        for (const auto &[pid, ppid] : parent)
            if (tree.count(ppid) && tree.insert(pid).second)
                grew = true;
    }
    long sum = 0;
    for (const pid_t pid : tree)
        sum += pssKib(pid);
    return sum;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fputs("usage: rw_peakmem OUTPUT_FILE COMMAND [ARGS...]\n", stderr);
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        ::execvp(argv[2], argv + 2);
        std::perror(argv[2]);
        ::_exit(127);
    }
    long peak = 0;
    int status = 0;
    for (;;) {
        peak = std::max(peak, treePss(child));
        const pid_t r = ::waitpid(child, &status, WNOHANG);
        if (r == child)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage {};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                       + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (FILE *out = std::fopen(argv[1], "a")) {
        std::fprintf(out, "%.3f %.3f %ld %d %ld\n", wall, cpu, peak, code, usage.ru_minflt);
        std::fclose(out);
    }
    return code;
}
