#include "OdaEdpfFileManager.h"

#include "OdaEdpfFileStore.h"
#include "OdaEdpfLogger.h"

namespace OdaEdpf {

using Store = FileStore<FileManager>;

FileManager::FileEntry::FileEntry(const std::string& name, std::int64_t time) : name(name), time(time) {}

FileManager::FileEntry::~FileEntry() = default;

void FileManager::FileEntry::OnRegister(FileManager* /*manager*/) {}

void FileManager::FileEntry::OnUnregister(FileManager* /*manager*/) {}

FileManager::FileManager(LogFacility& log_facility) : log_facility_(log_facility) {}

FileManager::~FileManager() { DestroyFileEntries(); }

void FileManager::SetDirectory(const std::string& directory) { Store::SetDirectory(*this, directory); }

bool FileManager::LoadFileEntries() { return Store::LoadFileEntries(*this); }

bool FileManager::PopulateFileEntries(apr_pool_t* pool) { return Store::PopulateFileEntries(*this, pool); }

bool FileManager::AddFileEntry(const std::string& name, std::int64_t time) {
  return AddFileEntry(CreateFileEntry(name, time));
}

FileManager::FileEntry* FileManager::CreateFileEntry(const std::string& name, std::int64_t time) {
  return new FileEntry(name, time);
}

bool FileManager::AddFileEntry(FileEntry* entry) { return Store::AddFileEntry(*this, entry); }

void FileManager::CheckMaxFileCount(std::size_t count) { Store::CheckMaxFileCount(*this, count); }

bool FileManager::AddExpirationTimer(Timer* timer, FileEntry* entry) {
  return Store::AddExpirationTimer(*this, timer, entry);
}

bool FileManager::RemoveExpirationTimer(Timer* timer) { return Store::RemoveExpirationTimer(*this, timer); }

void FileManager::OnTimeoutElapsed(Timer* timer) { Store::OnTimeoutElapsed(*this, timer); }

bool FileManager::RemoveFileEntry(FileEntry* entry) { return Store::RemoveFileEntry(*this, entry); }

bool FileManager::RemoveFileEntry(const std::string& name) { return Store::RemoveFileEntry(*this, name); }

FileManager::FileEntries::iterator FileManager::FindFileEntry(FileEntry* entry) {
  return Store::FindFileEntry(*this, entry);
}

bool FileManager::RemoveManagedFile(const std::string& name) { return Store::RemoveManagedFile(*this, name); }

void FileManager::OnFileEntryChnage() { Store::OnFileEntryChnage(*this); }

void FileManager::DestroyFileEntries() { Store::DestroyFileEntries(*this); }

void FileManager::LogLine(LogLevel level, const char* text) {
  FacilityLog(log_facility_, 0, level, 0, ODAEDPF_LOG_MARK, "%s", text);
}

}  // namespace OdaEdpf
