#include "tests/test_server.h"

#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

TestServer::TestServer() {
  // The shell names its pid, which the server takes over with exec.
  output_ = popen("echo $$; exec python3 '" BOOTSTRAP_SOURCE_DIR
                  "/tests/fault_server.py' --max-seconds 300",
                  "re");
  char line[64];
  if (output_ && std::fgets(line, sizeof line, output_)) pid_ = std::atoi(line);
  if (output_ && std::fgets(line, sizeof line, output_) && std::strncmp(line, "PORT ", 5) == 0) {
    port_ = std::atoi(line + 5);
  }
  if (port_ <= 0) {
    stop();
    throw std::runtime_error("the test server did not start: tests/fault_server.py");
  }
}

void TestServer::stop() {
  if (pid_ > 0) kill(pid_, SIGTERM);
  if (output_) pclose(output_);  // waits for the server's end
  output_ = nullptr;
  pid_ = -1;
}

std::string TestServer::url(const std::string& pathAndQuery) const {
  return "http://127.0.0.1:" + std::to_string(port_) + pathAndQuery;
}

long long TestServer::stat(const std::string& name) const {
  std::string command =
      "python3 -c 'import json, sys, urllib.request as r\n"
      "opener = r.build_opener(r.ProxyHandler({}))\n"
      "print(json.load(opener.open(sys.argv[1]))[sys.argv[2]])' " +
      url("/_stats") + " " + name;
  FILE* output = popen(command.c_str(), "re");
  char line[64];
  bool read = output && std::fgets(line, sizeof line, output);
  if (output) pclose(output);
  if (!read) throw std::runtime_error("cannot read " + name + " from the test server");
  return std::atoll(line);
}
