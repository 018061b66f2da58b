#include "QelCacheIndex.h"

#include <apr_file_info.h>
#include <apr_file_io.h>

#include <functional>

#include "QelHash.h"

namespace TARNWICKSS {

namespace {

constexpr char kMagic[] = "TWCIDX02";
constexpr std::size_t kMagicBytes = sizeof(kMagic) - 1;
constexpr std::size_t kHashBytes = 8;
// Everything of a record after its name.
constexpr std::size_t kFixedRecordBytes = 5 * 8 + 2 * 4;

void PutUint(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// Reads little-endian numbers off a byte range; every read checks the room
// left, and a failed one leaves the reader failed.
class Reader {
 public:
  Reader(const char* data, std::size_t size) : data_(data), left_(size) {}
  bool ok() const { return ok_; }
  std::size_t left() const { return left_; }

  std::uint64_t Uint(int bytes) {
    if (!Need(static_cast<std::size_t>(bytes))) return 0;
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
      value |= static_cast<std::uint64_t>(static_cast<unsigned char>(data_[i])) << (8 * i);
    Skip(static_cast<std::size_t>(bytes));
    return value;
  }
  std::string_view Text(std::size_t length) {
    if (!Need(length)) return std::string_view();
    const std::string_view text(data_, length);
    Skip(length);
    return text;
  }

 private:
  bool Need(std::size_t bytes) {
    if (ok_ && bytes <= left_) return true;
    ok_ = false;
    return false;
  }
  void Skip(std::size_t bytes) {
    data_ += bytes;
    left_ -= bytes;
  }
  const char* data_;
  std::size_t left_;
  bool ok_ = true;
};

bool IsFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

std::size_t HashOf(std::string_view name) { return std::hash<std::string_view>()(name); }

}  // namespace

std::string CacheIndex::Compose(const std::vector<Record>& records) {
  std::string out(kMagic, kMagicBytes);
  PutUint(out, records.size(), 4);
  for (const Record& record : records) {
    PutUint(out, record.name.size(), 2);
    out += record.name;
    PutUint(out, record.inode, 8);
    PutUint(out, static_cast<std::uint64_t>(record.change_time), 8);
    PutUint(out, record.checksum, 8);
    PutUint(out, record.match_key, 8);
    PutUint(out, record.usage, 8);
    PutUint(out, record.sampling_rate, 4);
    PutUint(out, record.voice_gender, 4);
  }
  PutUint(out, Fnv1a64(out), 8);
  return out;
}

const CacheIndex::Record* CacheIndex::Records::Find(std::string_view name) {
  if (next_ < list_.size() && list_[next_].name == name) return &list_[next_++];
  if (slots_.empty()) return nullptr;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = HashOf(name) & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t position = slots_[slot];
    if (position == 0) return nullptr;
    if (list_[position - 1].name == name) {
      next_ = position;
      return &list_[position - 1];
    }
  }
}

bool CacheIndex::Records::FileLast() {
  const std::string_view name = list_.back().name;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = HashOf(name) & mask;; slot = (slot + 1) & mask) {
    std::uint32_t& position = slots_[slot];
    if (position == 0) {
      position = static_cast<std::uint32_t>(list_.size());
      return true;
    }
    if (list_[position - 1].name == name) return false;
  }
}

void CacheIndex::Records::clear() {
  std::vector<Record>().swap(list_);
  std::vector<std::uint32_t>().swap(slots_);
  std::string().swap(bytes_);
  next_ = 0;
}

bool CacheIndex::Parse(std::string bytes, Records& records) {
  records.clear();
  if (bytes.size() < kMagicBytes + 4 + kHashBytes || bytes.compare(0, kMagicBytes, kMagic) != 0) return false;
  const std::size_t body = bytes.size() - kHashBytes;
  Reader hash(bytes.data() + body, kHashBytes);
  if (hash.Uint(8) != Fnv1a64(bytes.data(), body)) return false;

  // The names point into the bytes, kept with the records.
  records.bytes_ = std::move(bytes);
  Reader in(records.bytes_.data() + kMagicBytes, body - kMagicBytes);
  const std::uint64_t count = in.Uint(4);
  // Each record takes at least its fixed part: a count the file cannot hold
  // is damage, not a reason to reserve memory for it.
  bool whole = count <= in.left() / (2 + kFixedRecordBytes);
  if (whole) {
    records.list_.reserve(static_cast<std::size_t>(count));
    // At most half the slots in use, so that a probe ends soon.
    std::size_t slots = 16;
    while (slots < 2 * count) slots *= 2;
    records.slots_.assign(slots, 0);
  }
  for (std::uint64_t i = 0; whole && i < count; ++i) {
    Record record;
    record.name = in.Text(static_cast<std::size_t>(in.Uint(2)));
    record.inode = in.Uint(8);
    record.change_time = static_cast<std::int64_t>(in.Uint(8));
    record.checksum = in.Uint(8);
    record.match_key = in.Uint(8);
    record.usage = in.Uint(8);
    record.sampling_rate = static_cast<std::uint32_t>(in.Uint(4));
    record.voice_gender = static_cast<std::uint32_t>(in.Uint(4));
    whole = in.ok() && IsFileName(record.name);
    if (whole) {
      records.list_.push_back(record);
      whole = records.FileLast();
    }
  }
  if (!whole || in.left() != 0) {
    records.clear();
    return false;
  }
  return true;
}

bool CacheIndex::Write(const std::string& path, const std::vector<Record>& records, apr_pool_t* pool) {
  const std::string bytes = Compose(records);
  const std::string beside = path + ".new";
  // Made anew, never opened through whatever already has that name (a link
  // left there would have the write land in its target).
  apr_file_remove(beside.c_str(), pool);
  apr_file_t* file = nullptr;
  if (apr_file_open(&file, beside.c_str(), APR_FOPEN_WRITE | APR_FOPEN_CREATE | APR_FOPEN_EXCL | APR_FOPEN_BINARY,
                    APR_FPROT_UREAD | APR_FPROT_UWRITE, pool) != APR_SUCCESS) {
    return false;
  }
  apr_size_t written = 0;
  const bool whole =
      apr_file_write_full(file, bytes.data(), bytes.size(), &written) == APR_SUCCESS && written == bytes.size();
  const bool closed = apr_file_close(file) == APR_SUCCESS;
  if (!whole || !closed || apr_file_rename(beside.c_str(), path.c_str(), pool) != APR_SUCCESS) {
    apr_file_remove(beside.c_str(), pool);
    return false;
  }
  return true;
}

bool CacheIndex::Take(const std::string& path, Records& records, apr_pool_t* pool) {
  records.clear();
  // Only a regular file of its own is read: a link is not followed, and a
  // FIFO would hold the start-up until something wrote into it.
  apr_finfo_t kind;
  if (apr_stat(&kind, path.c_str(), APR_FINFO_TYPE | APR_FINFO_LINK, pool) != APR_SUCCESS || kind.filetype != APR_REG) {
    apr_file_remove(path.c_str(), pool);
    return false;
  }
  apr_file_t* file = nullptr;
  if (apr_file_open(&file, path.c_str(), APR_FOPEN_READ | APR_FOPEN_BINARY, APR_FPROT_OS_DEFAULT, pool) !=
      APR_SUCCESS) {
    return false;
  }
  apr_finfo_t info;
  std::string bytes;
  bool read = apr_file_info_get(&info, APR_FINFO_SIZE, file) == APR_SUCCESS && info.size >= 0 &&
              static_cast<std::uint64_t>(info.size) <= kMaxFileBytes;
  if (read) {
    bytes.resize(static_cast<std::size_t>(info.size));
    apr_size_t got = 0;
    read = bytes.empty() ||
           (apr_file_read_full(file, &bytes[0], bytes.size(), &got) == APR_SUCCESS && got == bytes.size());
  }
  apr_file_close(file);
  const bool removed = apr_file_remove(path.c_str(), pool) == APR_SUCCESS;
  if (!read || !removed || !Parse(std::move(bytes), records)) {
    records.clear();
    return false;
  }
  return true;
}

}  // namespace TARNWICKSS
