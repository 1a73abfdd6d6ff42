// tests/support: child processes with captured output.
#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

extern char** environ;

namespace qirtest {

namespace {

// A file under the system's temporary folder for one captured stream, removed at the end.
class CaptureFile {
public:
    CaptureFile()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "qir-child-XXXXXX").string();
        mDescriptor = ::mkstemp(pattern.data());
        mPath = pattern;
    }
    ~CaptureFile()
    {
        if (mDescriptor >= 0)
            ::close(mDescriptor);
        std::error_code ignored;
        std::filesystem::remove(mPath, ignored);
    }
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    int descriptor() const { return mDescriptor; }
    std::string text() const
    {
        std::ifstream in(mPath, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    int mDescriptor = -1;
    std::filesystem::path mPath;
};

} // namespace

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::filesystem::path& workingFolder, const std::vector<std::string>& environment)
{
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> variables;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& added : environment)
            replaced = replaced || added.substr(0, added.find('=')) == name;
        if (!replaced)
            variables.push_back(entry);
    }
    variables.insert(variables.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (auto& v : variables)
        envp.push_back(v.data());
    envp.push_back(nullptr);

    CaptureFile out;
    CaptureFile err;
    ProcessResult result;
    if (out.descriptor() < 0 || err.descriptor() < 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.descriptor(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.descriptor(), STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str());
    pid_t pid = -1;
    const int started = posix_spawn(&pid, all[0].c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0)
        return result;
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid) {
        if (WIFEXITED(status))
            result.mExitCode = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            result.mExitCode = 128 + WTERMSIG(status);
    }
    result.mOut = out.text();
    result.mErr = err.text();
    return result;
}

} // namespace qirtest
