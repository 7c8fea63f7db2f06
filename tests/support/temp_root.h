// A temporary product root: every product path of the library resolves under it while the
// fixture lives, and shared-memory objects get a prefix of their own; the directory, everything
// in it and every shared-memory object with the prefix are removed afterwards.
#pragma once

#include <string>

namespace kova::test {

class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot &) = delete;
    TempRoot &operator=(const TempRoot &) = delete;

    const std::string &root() const { return root_; }
    // The real location of a product path ("/proc/meminfo" -> "<root>/proc/meminfo").
    std::string path(const std::string &product_path) const { return root_ + product_path; }
    // Writes a file at a product path, creating its directories.
    void write(const std::string &product_path, const std::string &content) const;
    std::string read(const std::string &product_path) const;
    bool exists(const std::string &product_path) const;
    // The name a shared-memory object of the product has under this root.
    std::string shm_name(const std::string &name) const { return shm_prefix_ + name; }

private:
    std::string root_;
    std::string shm_prefix_;
};

}  // namespace kova::test
