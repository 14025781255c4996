// What lets --skip-unchanged redo only what changed: .reliefkit-manifest.json
// in the output folder, one small JSON file,
//   {"reliefkit_manifest": 1, "outputs": {"a/wall_height.png": {"xxh3": "...",
//    "input": "photos/a/wall.jpg", "input_xxh3": "...", "options": ["--invert"],
//    "version": "0.1.0"}, ...}}
// with each output named relative to the output folder.
//
// Several processes may share the folder (the shards of a farm): a writer
// takes an exclusive flock on .reliefkit-manifest.lock, reads the file's
// latest content, merges its own records into it, writes a temporary file and
// renames it over the manifest. Readers take no lock: the rename replaces the
// file at once, so they see one whole version or the other.
#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "file_hash.h"

namespace rkcli {

// What an output was made from.
struct MadeBy {
    std::string input;  // the path, for people reading the manifest; not compared
    std::string input_xxh3;
    std::vector<std::string> options;  // output_key() of the run
    std::string version;               // the library's

    bool same_making(const MadeBy& other) const {
        return input_xxh3 == other.input_xxh3 && options == other.options &&
               version == other.version;
    }
};

class Manifest {
  public:
    static constexpr std::string_view kFileName = ".reliefkit-manifest.json";
    static constexpr std::string_view kLockName = ".reliefkit-manifest.lock";
    // One temporary name serves every process, since only the lock's holder writes it.
    static constexpr std::string_view kTempName = ".reliefkit-manifest.json.tmp";

    // Reads out_dir's manifest; a missing one is empty, and so is a damaged
    // one or one that cannot be read (warning() then says so; the latter is
    // never replaced, so its writes fail). A thread of its own writes the
    // pending records every `interval` (see record()); when none can be
    // started, record() writes them, as often at most.
    explicit Manifest(std::filesystem::path out_dir,
                      std::chrono::milliseconds interval = std::chrono::seconds(2));
    Manifest(const Manifest&) = delete;
    Manifest& operator=(const Manifest&) = delete;
    // Stops the writing thread; what is still pending is left unwritten
    // (flush() first to keep it).
    ~Manifest();

    const std::string& warning() const { return warning_; }

    // The outputs with their hashes when each has a record of the same making
    // and still holds the bytes recorded; nothing when any differs or is gone.
    // Any number of threads may ask at once.
    std::optional<std::vector<FileHash>> unchanged(
        const std::vector<std::filesystem::path>& outputs, const MadeBy& made_by) const;

    // Notes outputs made by made_by. The writing thread writes what is
    // pending every interval, whether or not more outputs are made meanwhile
    // (an input that takes minutes must not hold back the records before it),
    // so that a batch cut short loses little and a long one does not spend its
    // time rewriting the file.
    void record(const std::vector<FileHash>& outputs, const MadeBy& made_by);

    // Writes what is pending; answers why it could not, empty when every
    // record has reached the file.
    std::string flush();

  private:
    struct Record {
        std::string xxh3;
        MadeBy made_by;
    };

    std::string name_of(const std::filesystem::path& output) const;
    std::string write_pending();
    // Under the file lock, merges records into the manifest's latest content.
    std::string write_records(const std::map<std::string, Record>& records);

    std::filesystem::path dir_;
    std::filesystem::path absolute_dir_;
    std::unordered_map<std::string, Record> loaded_;
    std::string warning_;

    std::mutex write_lock_;  // held through a write, taken before lock_
    std::mutex lock_;        // guards pending_ and ending_
    std::map<std::string, Record> pending_;
    std::chrono::milliseconds interval_;
    std::condition_variable wake_;  // the writer, to end
    bool ending_ = false;
    // With no writing thread, when record() next writes; guarded by lock_.
    std::chrono::steady_clock::time_point next_write_{};
    std::thread writer_;  // last: started once the rest is made
};

}  // namespace rkcli
