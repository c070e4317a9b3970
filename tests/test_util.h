// Helpers shared by the unit tests: environment variables, files, and the
// test HTTP server (tests/fault_server.py) as a child process.
#ifndef BOOTSTRAP_TESTS_TEST_UTIL_H_
#define BOOTSTRAP_TESTS_TEST_UTIL_H_

#include <cstdio>
#include <optional>
#include <string>

// Sets (or, with nullptr, unsets) an environment variable for its lifetime.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

// Replaces the file at `path` by `content`; throws when it cannot.
void writeFile(const std::string& path, const std::string& content);
// The file's bytes; "" when it cannot be read.
std::string readFile(const std::string& path);

// A running fault server on 127.0.0.1, stopped when the object goes; a
// request's query chooses the faults (see fault_server.py).
class TestServer {
 public:
  // Starts the server and waits until it listens; throws when it does not.
  TestServer();
  ~TestServer() { stop(); }
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  // "http://127.0.0.1:PORT" followed by `pathAndQuery`.
  std::string url(const std::string& pathAndQuery) const;
  // One of the server's counters at /_stats: "requests" served, body
  // "bytes_sent", requests still "open". Throws when it cannot be read.
  long long stat(const std::string& name) const;

 private:
  void stop();

  FILE* output_ = nullptr;  // the server's standard output
  int pid_ = -1;
  int port_ = 0;
};

#endif  // BOOTSTRAP_TESTS_TEST_UTIL_H_
