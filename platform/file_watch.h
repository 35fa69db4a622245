// Watching one file for changes, for tools that follow a file while it is edited. The file's
// directory is watched, not the file: editors that save by writing a temporary file and
// renaming it over the original replace the file, and a watch on the old one would go quiet.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qx::platform {

class FileWatch {
  public:
    FileWatch();
    ~FileWatch();
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;

    // Starts watching `path` (its directory must exist; the file need not). False, with the
    // reason in *error, when the directory cannot be watched.
    bool Start(const std::string& path, std::string* error);

    // Settled: the last change ended a save (the file was closed after writing, or renamed
    // onto its name), so it can be read at once. Changed: the file is being written, created
    // or removed, or the system cannot tell when the writer is done.
    enum class Event { Changed, Settled, Timeout, Failed };
    // Waits at most timeoutMs for the file to be written, created, replaced or removed. All
    // changes that arrived so far are taken at once; the last of them decides the event.
    Event Wait(uint32_t timeoutMs);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qx::platform
