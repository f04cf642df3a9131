#include "tests/net/net_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace nettest {

using Clock = std::chrono::steady_clock;

std::string Cli() { return std::string(VANTREL_BINARY_DIR) + "/cli/vantrel-cli"; }

Background::Background(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> copies = args;
  std::string name = program;
  std::vector<char*> argv{name.data()};
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, dir_.File("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, dir_.File("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

Background::~Background() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

int Background::Wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  const Clock::time_point end = Clock::now() + timeout;
  int status = 0;
  while (true) {
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (Clock::now() >= end) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void Background::Signal(int number) {
  if (pid_ > 0) kill(pid_, number);
}

std::string Background::Out() const { return ReadFileBytes(dir_.File("out")); }
std::string Background::Err() const { return ReadFileBytes(dir_.File("err")); }

int FreePort(bool tcp) {
  const int fd = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

namespace {
bool PortListed(const char* table, int port, bool tcp) {
  std::ifstream in(table);
  std::string line;
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local.size() >= 5 && local.compare(local.size() - 5, 5, wanted) == 0 && (!tcp || state == "0A")) return true;
  }
  return false;
}
}  // namespace

bool WaitForPort(int port, bool tcp, std::chrono::milliseconds timeout) {
  const Clock::time_point end = Clock::now() + timeout;
  const char* v4 = tcp ? "/proc/net/tcp" : "/proc/net/udp";
  const char* v6 = tcp ? "/proc/net/tcp6" : "/proc/net/udp6";
  while (Clock::now() < end) {
    if (PortListed(v4, port, tcp) || PortListed(v6, port, tcp)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string HttpGet(int port, const std::string& target, std::chrono::milliseconds timeout) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      const Clock::time_point end = Clock::now() + timeout;
      char buffer[65536];
      while (Clock::now() < end) {
        pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, 100) <= 0) continue;
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        answer.append(buffer, static_cast<size_t>(got));
      }
    }
  }
  close(fd);
  return answer;
}

}  // namespace nettest
