// The device's embedded file system and its EFS2 commands (DIAG 0x4B 0x13).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/emulator.h"

namespace emu {

class FileSystem {
  public:
    explicit FileSystem(std::uint64_t capacity);

    // Replaces the contents with a host folder's tree; empty folder name: an empty tree with
    // "/home". False when the folder cannot be read.
    bool load(const std::string& host_dir, std::string* error);
    bool dump(const std::string& host_dir) const;

    // The answer packet to one EFS2 request (packet starts with 4B 13); nothing when the
    // subsystem code is unknown or the request is malformed (the caller answers 0x13).
    std::optional<std::vector<std::uint8_t>> handle(const std::vector<std::uint8_t>& request);
    // The answer a request gets when it fails with errno code, without being carried out.
    static std::optional<std::vector<std::uint8_t>> error_answer(
        const std::vector<std::uint8_t>& request, int code);

    EfsType type(const std::string& path) const;
    std::optional<std::vector<std::uint8_t>> file(const std::string& path) const;
    std::optional<std::string> link_target(const std::string& path) const;
    std::vector<std::string> list(const std::string& dir) const;
    bool put_file(const std::string& path, const std::vector<std::uint8_t>& data);
    bool put_dir(const std::string& path);
    bool put_link(const std::string& path, const std::string& target);
    int open_handles() const { return static_cast<int>(handles_.size()); }
    // The device starts afresh (pulled out and plugged in again): no file or listing is open.
    void forget_handles() { handles_.clear(); }

  private:
    struct Node {
        EfsType type = EfsType::File;
        std::vector<std::uint8_t> data;
        std::string target;
        std::map<std::string, std::shared_ptr<Node>> children;
    };
    using NodePtr = std::shared_ptr<Node>;
    struct Handle {
        NodePtr node;
        bool read = false;
        bool write = false;
        bool append = false;
        std::vector<std::string> listing;  // directories: names when opened, in order
        std::vector<EfsType> types;
    };
    struct Lookup {
        NodePtr node;    // the entry itself, when it exists
        NodePtr parent;  // the directory holding it, when that exists
        std::string name;
        int error = 0;  // errno for a path that cannot be walked
    };

    Lookup lookup(const std::string& path, bool follow_last) const;
    std::uint64_t used() const;
    // True when more bytes of file contents fit within the capacity, as used() judges it.
    bool fits(std::uint64_t more);
    std::uint32_t new_handle(Handle handle);
    Handle* find_handle(const std::uint8_t* bytes);

    std::vector<std::uint8_t> do_open(const std::vector<std::uint8_t>& r, std::string path);
    std::vector<std::uint8_t> do_read(const std::vector<std::uint8_t>& r);
    std::vector<std::uint8_t> do_write(const std::vector<std::uint8_t>& r);
    int do_symlink(const std::string& target, const std::string& link);
    int do_unlink(const std::string& path);
    int do_mkdir(const std::string& path);
    int do_rmdir(const std::string& path);
    std::vector<std::uint8_t> do_opendir(const std::vector<std::uint8_t>& r,
                                         const std::string& path);
    std::vector<std::uint8_t> do_readdir(const std::vector<std::uint8_t>& r);
    std::vector<std::uint8_t> do_stat(const std::vector<std::uint8_t>& r, const std::string& path);

    std::uint64_t capacity_;
    // At least what used() gives: every change that can add to the contents adds to it or drops it
    // (nothing: not known). A write that fits below it is spared the walk of the whole tree; one
    // that does not gets the exact figure, so the judgement is used()'s.
    std::optional<std::uint64_t> used_bound_;
    NodePtr root_;
    std::map<std::uint32_t, Handle> handles_;
    std::uint32_t next_handle_ = 1;
};

}  // namespace emu
