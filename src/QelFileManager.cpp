#include "QelFileManager.h"

#include "OdaEdpfFileStore.h"
#include "QelTarnwickssPlugin.h"

namespace TARNWICKSS {

using Store = OdaEdpf::FileStore<FileManager>;

FileManager::FileEntry::FileEntry(const std::string& name, std::int64_t time) : name(name), time(time) {}

FileManager::FileEntry::~FileEntry() = default;

void FileManager::FileEntry::OnRegister(FileManager* /*manager*/) {}

void FileManager::FileEntry::OnUnregister(FileManager* /*manager*/) {}

FileManager::FileManager(OdaEdpf::LogFacility& log_facility) : log_facility_(log_facility) {}

FileManager::~FileManager() { DestroyFileEntries(); }

void FileManager::SetDirectory(const std::string& directory) { Store::SetDirectory(*this, directory); }

bool FileManager::LoadFileEntries() { return Store::LoadFileEntries(*this); }

bool FileManager::PopulateFileEntries(apr_pool_t* pool) { return Store::PopulateFileEntries(*this, pool); }

bool FileManager::AddFileEntry(const std::string& name, std::int64_t time, apr_pool_t* pool) {
  return AddFileEntry(CreateFileEntry(name, time, pool));
}

FileManager::FileEntry* FileManager::CreateFileEntry(const std::string& name, std::int64_t time, apr_pool_t* /*pool*/) {
  return new FileEntry(name, time);
}

bool FileManager::AddFileEntry(FileEntry* entry) { return Store::AddFileEntry(*this, entry); }

void FileManager::CheckMaxFileCount(std::size_t count) { Store::CheckMaxFileCount(*this, count); }

bool FileManager::AddExpirationTimer(OdaEdpf::Timer* timer, FileEntry* entry) {
  return Store::AddExpirationTimer(*this, timer, entry);
}

bool FileManager::RemoveExpirationTimer(OdaEdpf::Timer* timer) { return Store::RemoveExpirationTimer(*this, timer); }

void FileManager::OnTimeoutElapsed(OdaEdpf::Timer* timer) { Store::OnTimeoutElapsed(*this, timer); }

bool FileManager::RemoveFileEntry(FileEntry* entry) { return Store::RemoveFileEntry(*this, entry); }

bool FileManager::RemoveFileEntry(const std::string& name) { return Store::RemoveFileEntry(*this, name); }

// The one thing the framework's store lacks: use counts, and with them
// re-sorting an entry that is already filed.
bool FileManager::UpdateFileEntryUsage(FileEntry* entry, std::uint64_t usage) {
  auto position = FindFileEntry(entry);
  if (position == file_entries_.end()) return false;
  file_entries_.erase(position);
  entry->usage = usage;
  file_entries_.insert(FileEntries::value_type(KeyOf(*entry), entry));
  OnFileEntryChnage();
  return true;
}

FileManager::FileEntries::iterator FileManager::FindFileEntry(FileEntry* entry) {
  return Store::FindFileEntry(*this, entry);
}

bool FileManager::RemoveManagedFile(const std::string& name) { return Store::RemoveManagedFile(*this, name); }

void FileManager::OnFileEntryChnage() { Store::OnFileEntryChnage(*this); }

void FileManager::DestroyFileEntries() { Store::DestroyFileEntries(*this); }

bool FileManager::KnownFoundFile(const std::string& /*name*/, std::uint64_t /*inode*/, std::int64_t& /*time*/) {
  return false;
}

bool FileManager::Logs(OdaEdpf::LogLevel level) const {
  return apt_log_priority_check(TARNWICKSS_PLUGIN ? TARNWICKSS_PLUGIN : def_log_source,
                                static_cast<apt_log_priority_e>(level));
}

void FileManager::LogLine(OdaEdpf::LogLevel level, const char* text) {
  // The framework's levels are numbered as the server's priorities.
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, static_cast<apt_log_priority_e>(level), "%s", text);
}

}  // namespace TARNWICKSS
