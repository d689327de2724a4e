#include "pool/process/worker_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <unordered_set>

#include "core/bounded_read.h"
#include "core/file_replace.h"
#include "pool/process/proc_facts.h"
#include "pool/process/spawned_registry.h"

namespace vel {

namespace {

constexpr std::string_view kHeader = "velocinta-workers 1";

// Digits only, no sign, no leading zero (but "0"), no overflow.
std::optional<uint64_t> parse_u64_text(std::string_view text) {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  uint64_t v = 0;
  for (const char c : text) {
    const unsigned digit = static_cast<unsigned char>(c) - unsigned{'0'};
    if (digit > 9) return std::nullopt;
    if (v > (std::numeric_limits<uint64_t>::max() - digit) / 10) return std::nullopt;
    v = v * 10 + digit;
  }
  return v;
}

// The fields of one line, split at single blanks; an empty field (two
// blanks, a leading or trailing one) is refused by the number parsers.
std::vector<std::string_view> fields_of(std::string_view line) {
  std::vector<std::string_view> out;
  size_t from = 0;
  for (;;) {
    const size_t blank = line.find(' ', from);
    out.push_back(line.substr(from, blank == std::string_view::npos ? std::string_view::npos : blank - from));
    if (blank == std::string_view::npos) return out;
    from = blank + 1;
    if (out.size() > 4) return out;  // longer than any line of the record
  }
}

// A pid that may name a process of ours: never the kernel's 0 nor init.
std::optional<pid_t> recorded_pid(std::string_view text) {
  const auto pid = parse_pid_text(text);
  if (!pid || *pid < 2) return std::nullopt;
  return pid;
}

}  // namespace

std::string format_worker_record(const WorkerRecord& record) {
  std::string out(kHeader);
  out += "\nhost " + std::to_string(record.host.pid) + " " + std::to_string(record.host.start_ticks) + "\n";
  for (const RecordedProcess& w : record.workers) {
    out += "worker " + std::to_string(w.pid) + " " + std::to_string(w.start_ticks) + " " + std::to_string(w.pgid) + "\n";
  }
  return out;
}

Result<WorkerRecord> parse_worker_record(std::string_view text) {
  if (text.size() > kMaxWorkerRecordBytes) return err(std::string("record too large"));
  if (text.empty() || text.back() != '\n') return err(std::string("record not ended by a newline"));
  WorkerRecord record;
  bool host_seen = false;
  size_t line_no = 0;
  std::unordered_set<pid_t> workers_seen;
  for (size_t at = 0; at < text.size();) {
    const size_t nl = text.find('\n', at);
    const std::string_view line = text.substr(at, nl - at);
    at = nl + 1;
    ++line_no;
    const std::string where = "line " + std::to_string(line_no);
    if (line_no == 1) {
      if (line != kHeader) return err(where + ": not a worker record");
      continue;
    }
    const auto f = fields_of(line);
    if (line_no == 2) {
      if (f.size() != 3 || f[0] != "host") return err(where + ": expected the host");
      const auto pid = recorded_pid(f[1]);
      const auto start = parse_u64_text(f[2]);
      if (!pid || !start) return err(where + ": bad host");
      record.host = {*pid, *start, 0};
      host_seen = true;
      continue;
    }
    if (f.size() != 4 || f[0] != "worker") return err(where + ": expected a worker");
    const auto pid = recorded_pid(f[1]);
    const auto start = parse_u64_text(f[2]);
    const auto pgid = recorded_pid(f[3]);
    if (!pid || !start || !pgid) return err(where + ": bad worker");
    // Every worker leads a group of its own: any other group is not ours.
    if (*pgid != *pid) return err(where + ": worker outside its own group");
    if (*pid == record.host.pid) return err(where + ": worker is the host");
    if (!workers_seen.insert(*pid).second) return err(where + ": worker listed twice");
    if (record.workers.size() >= kMaxRecordedWorkers) return err(where + ": too many workers");
    record.workers.push_back({*pid, *start, *pgid});
  }
  if (!host_seen) return err(std::string("record without its host"));
  return record;
}

namespace {

Result<std::optional<WorkerRecord>> read_opened_record(Result<RegularFile, FileReadError> file,
                                                       const std::filesystem::path& path) {
  if (!file) {
    if (file.error().kind == FileRefusal::Missing) return std::optional<WorkerRecord>{};
    return err(file.error().text);
  }
  const struct stat& st = file->status();
  std::string refused;
  if (st.st_uid != ::geteuid()) {
    refused = "belongs to user " + std::to_string(st.st_uid);
  } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    refused = "writable by other users";
  }
  if (!refused.empty()) return err(path.string() + ": " + refused);
  std::vector<uint8_t> bytes;
  if (auto read = read_open_file(*file, path, kMaxWorkerRecordBytes, bytes); !read) {
    return err(read.error().kind == FileRefusal::TooLarge ? path.string() + ": record too large" : read.error().text);
  }
  auto record = parse_worker_record(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  if (!record) return err(path.string() + ": " + record.error());
  return std::optional<WorkerRecord>(std::move(record).value());
}

}  // namespace

Result<std::optional<WorkerRecord>> read_worker_record(const std::filesystem::path& path) {
  // Not followed: a link at the record's name could name any file.
  return read_opened_record(open_regular_file(path, /*follow_link=*/false), path);
}

Result<std::optional<WorkerRecord>> read_worker_record_at(int dir, const std::string& name,
                                                          const std::filesystem::path& shown) {
  return read_opened_record(open_regular_file_at(dir, name, shown), shown);
}

std::optional<RecordedProcess> recorded_process(pid_t pid) {
  const auto text = read_small_file("/proc/" + std::to_string(pid) + "/stat", 4096);
  const auto stat = text ? parse_proc_stat(*text) : std::nullopt;
  if (!stat || stat->pid != pid) return std::nullopt;
  return RecordedProcess{stat->pid, stat->start_ticks, stat->pgrp};
}

void WorkerRecordBook::arm(std::filesystem::path path, RecordedProcess host, std::shared_ptr<const DirFd> folder) {
  std::lock_guard lock(mutex_);
  path_ = std::move(path);
  folder_ = std::move(folder);
  host_ = host;
}

bool WorkerRecordBook::armed() const {
  std::lock_guard lock(mutex_);
  return path_.has_value();
}

Status<> WorkerRecordBook::add(std::shared_ptr<SpawnedChild> child) {
  if (!child || child->reaped()) return ok_unit();
  // Read before the lock: nothing read from /proc is done under it.
  const auto process = recorded_process(child->pid());
  std::unique_lock lock(mutex_);
  if (!path_) return ok_unit();
  if (!process) return ok_unit();  // already gone: nothing to end later
  // Only a group the child leads is ours to kill later; a child outside one
  // (never so as the pool starts them) would make the whole record refused.
  if (process->pgid != process->pid) return ok_unit();
  entries_.push_back({std::move(child), *process});
  return write_unlocked(lock);
}

Status<> WorkerRecordBook::write() {
  std::unique_lock lock(mutex_);
  if (!path_) return ok_unit();
  return write_unlocked(lock);
}

Status<> WorkerRecordBook::write_unlocked(std::unique_lock<std::mutex>& lock) {
  std::erase_if(entries_, [](const Entry& e) { return e.child->reaped(); });
  WorkerRecord record;
  record.host = host_;
  for (const Entry& e : entries_) record.workers.push_back(e.process);
  const std::filesystem::path path = *path_;
  const std::shared_ptr<const DirFd> folder = folder_;
  const std::string text = format_worker_record(record);
  const uint64_t made = ++texts_made_;
  lock.unlock();
  std::lock_guard file(file_mutex_);
  if (made < text_written_) return ok_unit();  // a later text is on disk already
  text_written_ = made;
  if (folder && folder->ok()) return replace_file_at(folder->get(), path.filename().native(), text, 0600);
  return replace_file(path, text, 0600);
}

WorkerRecordBook& worker_record_book() {
  static WorkerRecordBook& book = *new WorkerRecordBook;
  return book;
}

}  // namespace vel
