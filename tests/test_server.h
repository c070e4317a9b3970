// The test HTTP server (tests/fault_server.py) as a child process of a unit
// test, on 127.0.0.1 only, and what tests need around it.
#ifndef BOOTSTRAP_TESTS_TEST_SERVER_H_
#define BOOTSTRAP_TESTS_TEST_SERVER_H_

#include <cstdio>
#include <string>

// A running fault server, stopped when the object goes. See fault_server.py
// for the faults that a request's query chooses.
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

#endif  // BOOTSTRAP_TESTS_TEST_SERVER_H_
