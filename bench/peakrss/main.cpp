// Peak memory of a group of processes: runs COMMAND (through /bin/sh) and,
// every 2 ms until it ends, adds up the resident sets (VmRSS) of all
// processes whose name is NAME; prints the largest sum seen, in MB. Used by
// bench/converter.sh to measure converters running side by side (the sum
// of each process's own peak overstates it: their peaks need not meet).
//
//   bench_peakrss NAME COMMAND

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

long residentKb(const std::string &pid, const std::string &name)
{
    std::ifstream status("/proc/" + pid + "/status");
    std::string line;
    bool match = false;
    long kb = 0;
    while (std::getline(status, line)) {
        if (line.rfind("Name:", 0) == 0) {
            std::string value = line.substr(5);
            value.erase(0, value.find_first_not_of(" \t"));
            match = value == name;
        } else if (line.rfind("VmRSS:", 0) == 0) {
            kb = std::atol(line.c_str() + 6);
        }
    }
    return match ? kb : 0;
}

long totalKb(const std::string &name)
{
    long total = 0;
    if (DIR *proc = ::opendir("/proc")) {
        while (const dirent *entry = ::readdir(proc))
            if (std::isdigit(static_cast<unsigned char>(entry->d_name[0])))
                total += residentKb(entry->d_name, name);
        ::closedir(proc);
    }
    return total;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fputs("usage: bench_peakrss NAME COMMAND\n", stderr);
        return 2;
    }
    const std::string name = argv[1];
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl("/bin/sh", "sh", "-c", argv[2], static_cast<char *>(nullptr));
        ::_exit(127);
    }
    if (child < 0)
        return 1;
    long peak = 0;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        peak = std::max(peak, totalKb(name));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::printf("%ld\n", peak / 1024);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
