#include "tests/test_util.h"

#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

ScopedEnv::ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) saved_ = old;
  value ? setenv(name_.c_str(), value, 1) : unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
  saved_ ? setenv(name_.c_str(), saved_->c_str(), 1) : unsetenv(name_.c_str());
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!(file << content)) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

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
