#include "tests/test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

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
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port_));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    throw std::runtime_error("cannot connect to the test server");
  }
  std::string request = "GET /_stats HTTP/1.0\r\n\r\n", answer;
  if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, got);
  }
  close(fd);
  std::string key = "\"" + name + "\": ";
  std::string::size_type at = answer.find(key);
  if (at == std::string::npos) throw std::runtime_error("no " + name + " in " + answer);
  return std::atoll(answer.c_str() + at + key.size());
}
