// What a test sets up around itself: a fresh server directory root under the
// system's temp dir, files in it, environment variables, a dead port.
#ifndef TESTS_SUPPORT_TEST_ROOT_H
#define TESTS_SUPPORT_TEST_ROOT_H

#include <string>

// Creates "<tmp>/tarnwickss-<tag>-XXXXXX" and returns its path; the caller removes it.
std::string MakeTestRoot(const std::string& tag);

// Copies the sample configuration into a server root: conf/tarnwickss.xml and
// data/credentials.json (directories created as needed).
void InstallSampleConfig(const std::string& root);

// The whole file as bytes ("" when it cannot be read).
std::string ReadFile(const std::string& path);

// Writes the whole file as bytes, creating its folders as needed.
void WriteFile(const std::string& path, const std::string& content);

// Replaces the first `from` in the file by `to`; false (file unchanged) when
// `from` is not there, so a test cannot silently run the wrong setup.
bool ReplaceInFile(const std::string& path, const std::string& from, const std::string& to);

// A loopback port nobody listens on (it was free a moment ago).
int ClosedLoopbackPort();

// Sets (or, given null, unsets) an environment variable until the end of the
// scope. Change it only while no other thread reads the environment.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  bool had_;
  std::string old_;
};

#endif  // TESTS_SUPPORT_TEST_ROOT_H
