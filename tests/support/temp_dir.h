// A fresh folder under /tmp for a test's files, removed with all it holds.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace kalax::test {

class TempDir {
public:
    // `tag` names the folder (/tmp/kalax-TAG-XXXXXX), so a stray one says whose it is.
    explicit TempDir(const std::string &tag = "tmp") {
        std::string pattern = "/tmp/kalax-" + tag + "-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            // Nothing sensible to hand out instead: any other folder is somebody else's.
            std::perror("mkdtemp");
            std::abort();
        }
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    std::string file(const std::string &name) const { return path_ + "/" + name; }
    const std::string &path() const { return path_; }
    // The names in the folder, sorted.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(path_)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::string path_;
};

}  // namespace kalax::test
