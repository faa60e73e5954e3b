// Package files as they are read to go to the device.
//
// A sealed package's check hashed every file it lists, but a file can change between that check
// and the moment it is sent (a copy still running, a stick pulled and put back). So a listed file
// is hashed again as it is read for sending, in that same pass, and judged against the digest the
// check kept: what goes out is what was hashed. The file is read ahead in chunks and judged as
// soon as its end has been read, so a small file is judged before its first byte is handed out and
// a large one before its last chunk is: the step that would make it count on the device (the
// image's close, the last write, GO) never follows a changed file.
#pragma once

#include <cstddef>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

class LogSink;
class Sha256;

constexpr const char* kSumsFile = "SHA256SUMS";

// The digests the package check of the run that logs to log kept: paths relative to folder (which
// ends with its separator) with '/' separators, to lowercase hex. An empty map (an unsealed
// package) judges nothing. Forgets a changed file found before. Each run has its own: runs on
// several modems at once never judge by, or report, each other's files.
void expect_package_digests(LogSink& log, const std::string& folder,
                            std::map<std::string, std::string> digests);

// The reason told for the first listed file found changed since expect_package_digests of log;
// empty when none was.
std::string changed_package_file(LogSink& log);

class SentFile {
  public:
    // A changed file, or one that could not be checked, is told through log: the sink of the run
    // that sends it, which outlives the file.
    explicit SentFile(LogSink& log);
    ~SentFile();
    SentFile(const SentFile&) = delete;
    SentFile& operator=(const SentFile&) = delete;

    // Opens path for reading (binary). False when it cannot be opened, errno kept.
    bool open(const std::string& path);
    bool is_open() const { return file_ != nullptr; }

    // Up to size bytes, as fread: fewer at the end of the file, and none of a chunk that failed.
    std::size_t read(void* buffer, std::size_t size);
    // One byte, or EOF at the end of the file or on failure, as fgetc.
    int get();
    // A read came short at the end of the file, as feof.
    bool ended() const { return ended_; }
    // A read failed, or the file is listed and its bytes are not the listed ones.
    bool failed() const { return failed_; }
    bool changed() const { return changed_; }
    // What failed, for a log line.
    std::string failure() const;
    // Reads (and hashes) what is left of a listed file, so that a file only partly sent is judged
    // whole. False when that failed or the file changed.
    bool judge_rest();
    // Back to the first byte, for a second pass that is hashed afresh.
    void rewind();

  private:
    void fill();
    void judge();

    LogSink& log_;
    std::FILE* file_ = nullptr;
    std::string name_;    // as listed; empty when the file is not listed
    std::string digest_;  // the listed digest
    std::unique_ptr<Sha256> hash_;
    std::vector<unsigned char> chunk_;
    std::size_t at_ = 0;
    std::size_t filled_ = 0;
    bool source_ended_ = false;
    bool ended_ = false;
    bool failed_ = false;
    bool changed_ = false;
    int error_ = 0;
};
