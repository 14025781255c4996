#include "manifest.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <system_error>

#include "descriptor.h"
#include "interrupt.h"
#include "text_conversion.h"

namespace rkcli {
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

constexpr int kFormat = 1;

// A manifest of this format nests four levels deep (the file, its outputs, a
// record, its options). Copying or writing out a document recurses once per
// level, so a file nested far deeper (a damaged or planted one) would
// overflow the stack at the next write: it is no manifest of this format.
constexpr int kDeepest = 64;

std::string errno_text() {
    return std::generic_category().message(errno);
}

// The whole content of the file at path; nothing when it is missing, and
// nothing with `failure` set when it could not be read.
std::optional<std::string> file_text(const fs::path& path, std::string& failure) {
    const Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (!file.valid()) {
        if (errno != ENOENT) failure = errno_text();
        return std::nullopt;
    }
    std::string text;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            failure = errno_text();
            return std::nullopt;
        }
        if (got == 0) return text;
        text.append(buffer, static_cast<size_t>(got));
    }
}

// The manifest's content, or nothing when the file is missing; `damage` says
// why a file that exists is no manifest, `failure` why it could not be read.
// Only a missing file is as good as an empty one: one this process may not
// read (another farm user's file mode mask, a failing disk) still holds the
// other processes' records.
std::optional<Json> read_manifest(const fs::path& path, std::string& damage, std::string& failure) {
    // A folder would fail the read below, and a FIFO would block it.
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        damage = "it is not a regular file";
        return std::nullopt;
    }
    const std::optional<std::string> text = file_text(path, failure);
    if (!text) return std::nullopt;
    // Parsing itself does not recurse: the levels past kDeepest are dropped
    // as they are read, and the file refused below.
    bool too_deep = false;
    Json doc = Json::parse(
        *text,
        [&too_deep](int depth, Json::parse_event_t, Json&) {
            if (depth > kDeepest) too_deep = true;
            return depth <= kDeepest;
        },
        false);
    if (doc.is_discarded()) {
        damage = "it is not JSON";
    } else if (too_deep || !doc.is_object() || !doc.contains("reliefkit_manifest") ||
               !doc["reliefkit_manifest"].is_number_integer() ||
               doc["reliefkit_manifest"].get<int64_t>() != kFormat || !doc["outputs"].is_object()) {
        damage = "it is not a manifest of this format";
    } else {
        return doc;
    }
    return std::nullopt;
}

bool is_text(const Json& json, const char* name) {
    return json.contains(name) && json[name].is_string();
}

std::optional<std::vector<std::string>> texts(const Json& json) {
    if (!json.is_array()) return std::nullopt;
    std::vector<std::string> list;
    for (const Json& item : json) {
        if (!item.is_string()) return std::nullopt;
        list.push_back(item.get<std::string>());
    }
    return list;
}

}  // namespace

Manifest::Manifest(fs::path out_dir, std::chrono::milliseconds interval)
    : dir_(std::move(out_dir)),
      absolute_dir_(fs::absolute(dir_).lexically_normal()),
      interval_(interval) {
    const fs::path path = dir_ / kFileName;
    std::string damage, failure;
    const std::optional<Json> doc = read_manifest(path, damage, failure);
    if (!damage.empty()) {
        warning_ =
            "ignoring " + printable(path.string()) + " (" + damage + "): every input is remade";
    } else if (!failure.empty()) {
        // Its writes fail the same way, so the file is left as it is.
        warning_ =
            "cannot read " + printable(path.string()) + ": " + failure + ": every input is remade";
    }
    const Json none = Json::object();
    for (const auto& [name, json] : (doc ? (*doc)["outputs"] : none).items()) {
        // A record that does not read as one is as good as none: its output is remade.
        if (!json.is_object() || !is_text(json, "xxh3") || !is_text(json, "input_xxh3") ||
            !is_text(json, "version") || !json.contains("options") ||
            (json.contains("input") && !is_text(json, "input"))) {
            continue;
        }
        const auto options = texts(json["options"]);
        if (!options) continue;
        loaded_[name] = {
            json["xxh3"].get<std::string>(),
            {is_text(json, "input") ? json["input"].get<std::string>() : std::string(),
             json["input_xxh3"].get<std::string>(), *options, json["version"].get<std::string>()}};
    }
    try {
        writer_ = std::thread([this] {
            std::unique_lock hold(lock_);
            while (!wake_.wait_for(hold, interval_, [this] { return ending_; })) {
                // A failed write keeps the records pending; the next one tries again.
                // Written without lock_, which record() needs: another process may
                // hold the file lock for long (stopped, or on a slow file system),
                // and the jobs must not wait for it.
                if (pending_.empty()) continue;
                hold.unlock();
                write_pending();
                hold.lock();
            }
        });
    } catch (const std::system_error&) {
        // No thread to be had (a process limit): record() writes instead.
        next_write_ = std::chrono::steady_clock::now() + interval_;
    }
}

std::string Manifest::name_of(const fs::path& output) const {
    return fs::absolute(output)
        .lexically_normal()
        .lexically_relative(absolute_dir_)
        .generic_string();
}

std::optional<std::vector<FileHash>> Manifest::unchanged(const std::vector<fs::path>& outputs,
                                                         const MadeBy& made_by) const {
    std::vector<FileHash> hashes;
    for (const fs::path& output : outputs) {
        const auto record = loaded_.find(name_of(output));
        if (record == loaded_.end() || !record->second.made_by.same_making(made_by)) {
            return std::nullopt;
        }
        const std::optional<std::string> now = file_xxh3(output);
        if (now != record->second.xxh3) return std::nullopt;
        hashes.push_back({output, *now});
    }
    return hashes;
}

void Manifest::record(const std::vector<FileHash>& outputs, const MadeBy& made_by) {
    bool write_now = false;
    {
        const std::lock_guard hold(lock_);
        for (const FileHash& output : outputs)
            pending_[name_of(output.path)] = {output.xxh3, made_by};
        // Without the writing thread the job that records writes, at most
        // once an interval, and waits for the file lock as that thread would.
        const auto now = std::chrono::steady_clock::now();
        if (!writer_.joinable() && now >= next_write_) {
            next_write_ = now + interval_;
            write_now = true;
        }
    }
    if (write_now) (void)write_pending();
}

Manifest::~Manifest() {
    {
        const std::lock_guard hold(lock_);
        ending_ = true;
    }
    wake_.notify_all();
    if (writer_.joinable()) writer_.join();
}

std::string Manifest::flush() {
    return write_pending();
}

std::string Manifest::write_pending() {
    // One write at a time, so that an earlier batch never lands over a later one.
    const std::lock_guard writing(write_lock_);
    std::map<std::string, Record> batch;
    {
        const std::lock_guard hold(lock_);
        batch.swap(pending_);
    }
    if (batch.empty()) return {};
    std::string why = write_records(batch);
    if (!why.empty()) {
        // Back to pending for the next write; a record made meanwhile for the
        // same output is the newer one and stays.
        const std::lock_guard hold(lock_);
        pending_.merge(batch);
    }
    return why;
}

std::string Manifest::write_records(const std::map<std::string, Record>& records) {
    const fs::path path = dir_ / kFileName;
    const fs::path lock_path = dir_ / kLockName;
    const fs::path temp_path = dir_ / kTempName;
    // Read-only, since flock needs no more, and created with the mode the file
    // mode mask gives: shards run by different users of one group can all
    // lock it.
    const Descriptor lock{::open(lock_path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666)};
    if (!lock.valid()) return "cannot open " + printable(lock_path.string()) + ": " + errno_text();
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return "cannot lock " + printable(lock_path.string()) + ": " + errno_text();
    }
    // Under the lock: merge into what other processes wrote since we read it.
    std::string damage, failure;
    const std::optional<Json> read = read_manifest(path, damage, failure);
    // Replacing a manifest that could not be read would drop every record in it.
    if (!failure.empty()) return "cannot read " + printable(path.string()) + ": " + failure;
    Json doc = read.value_or(Json{{"reliefkit_manifest", kFormat}, {"outputs", Json::object()}});
    Json& outputs = doc["outputs"];
    for (const auto& [name, record] : records) {
        outputs[name] = {{"xxh3", record.xxh3},
                         {"input", record.made_by.input},
                         {"input_xxh3", record.made_by.input_xxh3},
                         {"options", record.made_by.options},
                         {"version", record.made_by.version}};
    }
    // Names that are not UTF-8 are written with U+FFFD: such a record never
    // matches, and its output is simply remade.
    const std::string text = doc.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    // Bracketed as the maps' saves are, so that a stop signal never ends the
    // process while the temporary file exists.
    if (!begin_record_save())
        return concat("cannot write ", printable(path.string()), ": the command was stopped");
    struct Turn {
        ~Turn() { end_save(); }
    } turn;
    {
        // Under the file lock no other run writes the temporary file: one
        // there was left by a killed run, perhaps of another user whose file
        // this one could not open for writing, so it is replaced, not reused.
        ::unlink(temp_path.c_str());
        Descriptor temp{
            ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666)};
        // Some file systems report a full disk only on sync or close.
        if (!temp.valid() || !write_all(temp.get(), text) || ::fsync(temp.get()) != 0 ||
            !temp.close()) {
            const std::string why = errno_text();
            ::unlink(temp_path.c_str());
            return "cannot write " + printable(temp_path.string()) + ": " + why;
        }
    }
    if (::rename(temp_path.c_str(), path.c_str()) != 0) {
        const std::string why = errno_text();
        ::unlink(temp_path.c_str());
        return "cannot replace " + printable(path.string()) + ": " + why;
    }
    return {};
}

}  // namespace rkcli
