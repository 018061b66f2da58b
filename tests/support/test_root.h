// A fresh server directory root for one test, under the system's temp dir.
#ifndef TESTS_SUPPORT_TEST_ROOT_H
#define TESTS_SUPPORT_TEST_ROOT_H

#include <string>

// Creates "<tmp>/tarnwickss-<tag>-XXXXXX" and returns its path; the caller removes it.
std::string MakeTestRoot(const std::string& tag);

// Copies the sample configuration into a server root: conf/tarnwickss.xml and
// data/credentials.json (directories created as needed).
void InstallSampleConfig(const std::string& root);

#endif  // TESTS_SUPPORT_TEST_ROOT_H
