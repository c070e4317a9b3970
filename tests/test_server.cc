#include "tests/test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace {

constexpr int kStartMilliseconds = 20000;
constexpr char kMaxSeconds[] = "300";

std::string serverScript() { return std::string(BOOTSTRAP_SOURCE_DIR) + "/tests/fault_server.py"; }

// A line read from `fd`, waiting at most `milliseconds` for each byte; "" on
// end of file or time-out.
std::string readLine(int fd, int milliseconds) {
  std::string line;
  char c;
  struct pollfd ready = {fd, POLLIN, 0};
  while (poll(&ready, 1, milliseconds) == 1 && read(fd, &c, 1) == 1) {
    if (c == '\n') return line;
    line += c;
  }
  return "";
}

// A socket connected to 127.0.0.1:`port`, or -1.
int connectLocal(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    return fd;
  }
  if (fd >= 0) close(fd);
  return -1;
}

// The whole answer to an HTTP/1.0 GET of `path`, which the server closes.
std::string fetch(int port, const std::string& path) {
  int fd = connectLocal(port);
  if (fd < 0) throw std::runtime_error("cannot connect to the test server");
  std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
  std::string answer;
  if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) answer.append(buffer, got);
  }
  close(fd);
  return answer;
}

}  // namespace

TestServer::TestServer(const std::vector<std::string>& arguments) {
  std::vector<std::string> words = {"python3", serverScript(), "--max-seconds", kMaxSeconds};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  pid_t pid;
  int spawned = posix_spawnp(&pid, "python3", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string line = spawned == 0 ? readLine(out[0], kStartMilliseconds) : "";
  close(out[0]);
  if (spawned == 0) pid_ = pid;
  if (line.compare(0, 5, "PORT ") == 0) port_ = std::atoi(line.c_str() + 5);
  if (port_ <= 0) {
    stop();
    throw std::runtime_error("the test server did not start: " + serverScript());
  }
}

TestServer::~TestServer() { stop(); }

void TestServer::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string TestServer::url(const std::string& pathAndQuery) const {
  return "http://127.0.0.1:" + std::to_string(port_) + pathAndQuery;
}

long long TestServer::stat(const std::string& name) const {
  std::string answer = fetch(port_, "/_stats");
  std::string key = "\"" + name + "\": ";
  std::string::size_type at = answer.find(key);
  if (at == std::string::npos) throw std::runtime_error("no " + name + " in " + answer);
  return std::atoll(answer.c_str() + at + key.size());
}

int unusedPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
               getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  if (fd >= 0) close(fd);
  if (!bound) throw std::runtime_error("cannot bind a port on 127.0.0.1");
  return ntohs(address.sin_port);
}

std::string queryValue(const std::string& text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      encoded += static_cast<char>(c);
    } else {
      encoded += {'%', hex[c >> 4], hex[c & 15]};
    }
  }
  return encoded;
}

std::string generatedBody(long long offset, size_t size) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>((offset + i) % 251);
  return body;
}
