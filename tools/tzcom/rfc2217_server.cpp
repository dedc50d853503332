// The RFC 2217 server's listener.
#include "tools/tzcom/rfc2217_server.h"

#include "tools/comm/comm.h"
#include "tools/tzcom/rfc2217_session.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tzcom {

namespace {

std::string peerName(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

bool fail(std::string* error, const std::string& message) {
  if (error) *error = message;
  return false;
}

}  // namespace

Rfc2217Server::Rfc2217Server(Rfc2217Options options) : options_(std::move(options)) {}

Rfc2217Server::~Rfc2217Server() { stop(); }

bool Rfc2217Server::start(std::string* error) {
  if (listener_ >= 0) return fail(error, "already started");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.tcpPort);
  std::string host = options_.bindAddress == "localhost" ? "127.0.0.1" : options_.bindAddress;
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
    return fail(error, "bad bind address \"" + options_.bindAddress + "\"");
  // The port is served without authentication: loopback only.
  if ((ntohl(address.sin_addr.s_addr) >> 24) != 127)
    return fail(error, "bind address " + options_.bindAddress + " is not a loopback address (127.0.0.0/8)");

  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return fail(error, std::string("socket: ") + std::strerror(errno));
  int yes = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 || ::listen(listener, 4) < 0) {
    std::string message = "cannot listen on " + host + ":" + std::to_string(options_.tcpPort) + ": " + std::strerror(errno);
    ::close(listener);
    return fail(error, message);
  }
  socklen_t length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  if (::pipe2(wakePipe_, O_CLOEXEC) < 0) {
    ::close(listener);
    return fail(error, std::string("pipe: ") + std::strerror(errno));
  }
  listener_ = listener;
  boundPort_ = ntohs(address.sin_port);
  if (options_.verbosity >= 1)
    std::fprintf(stderr, "tzcom: rfc2217: serving %s on %s:%u\n", options_.portName.c_str(), host.c_str(), boundPort_);
  acceptThread_ = std::thread([this] { runAccept(); });
  return true;
}

void Rfc2217Server::stop() {
  if (acceptThread_.joinable()) {
    char byte = 0;
    [[maybe_unused]] ssize_t ignored = ::write(wakePipe_[1], &byte, 1);
    acceptThread_.join();
  }
  std::unique_ptr<rfc2217::Session> session;
  {
    std::lock_guard lock(lock_);
    session = std::move(session_);
  }
  session.reset();  // closes the client and the port
  for (int& fd : {std::ref(listener_), std::ref(wakePipe_[0]), std::ref(wakePipe_[1])}) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

void Rfc2217Server::runAccept() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    int client = ::accept4(listener_, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
    if (client < 0) continue;  // the client left before it was accepted, or out of descriptors
    serve(client, peerName(address));
  }
}

void Rfc2217Server::serve(int client, const std::string& peer) {
  std::unique_ptr<rfc2217::Session> finished;
  std::lock_guard lock(lock_);
  if (session_ && !session_->finished()) {
    refuse(client, peer, "tzcom: " + options_.portName + " is in use by another client\r\n");
    return;
  }
  finished = std::move(session_);
  finished.reset();  // joins the threads of the last client's session
  HANDLE port = comm::CreateFileA(options_.portName.c_str(), comm::GENERIC_READ | comm::GENERIC_WRITE, 0, nullptr,
                                  comm::OPEN_EXISTING, comm::FILE_FLAG_OVERLAPPED, nullptr);
  if (port == comm::INVALID_HANDLE_VALUE) {
    comm::DWORD code = comm::GetLastError();
    std::string why = code == comm::ERROR_ACCESS_DENIED ? "is in use (open elsewhere)" : "cannot be opened";
    refuse(client, peer, "tzcom: " + options_.portName + " " + why + " (error " + std::to_string(code) + ")\r\n");
    return;
  }
  int yes = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  session_ = std::make_unique<rfc2217::Session>(client, port, options_.portName, peer, options_.verbosity);
}

// One line, then the connection closes. Whatever the client sent is read
// first, so that the close is a FIN the client reads the line before, not
// a reset that may discard it.
void Rfc2217Server::refuse(int client, const std::string& peer, const std::string& message) {
  if (options_.verbosity >= 1) std::fprintf(stderr, "tzcom: rfc2217: %s: refused: %s", peer.c_str(), message.c_str() + 7);
  ::send(client, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  ::shutdown(client, SHUT_WR);
  char discard[4096];
  while (::recv(client, discard, sizeof discard, MSG_DONTWAIT) > 0) {
  }
  ::close(client);
}

}  // namespace tzcom
