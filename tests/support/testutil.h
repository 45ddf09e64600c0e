// Helpers shared by the test programs.
#ifndef KESTROVA_TESTUTIL_H
#define KESTROVA_TESTUTIL_H

#include <string>
#include <vector>

namespace testutil {

// A fresh directory under $TMPDIR, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    // Writes `content` to name inside the directory and returns the full path.
    std::string write(const std::string &name, const std::string &content) const;

private:
    std::string path_;
};

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &content);

struct ProcessResult {
    int exitCode = -1; // exit status (0-255), or -1 when killed by a signal
    int signal = 0;    // the signal that ended it, if any
    std::string out;
    std::string err;
};

// Runs argv[0] with the arguments, in `cwd` when non-empty, with stdin closed,
// and collects both output streams. Killed after timeoutSeconds.
ProcessResult runProcess(const std::vector<std::string> &argv, const std::string &cwd = "", int timeoutSeconds = 60);

// Path of a program built into the build tree's bin directory.
std::string binPath(const std::string &name);
std::string fixturePath(const std::string &relative);

} // namespace testutil

#endif
