// The RFC 2217 server: serves one port to telnet clients on a loopback TCP
// address, e.g. pyserial's serial_for_url("rfc2217://127.0.0.1:7000"). One
// client at a time, since the port opens exclusively: another client is told
// so in one line and closed, as is a client that arrives while something
// else (the pty bridge) holds the port. Each client opens the port afresh;
// its disconnection closes it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tzcom {

namespace rfc2217 {
class Session;
}

struct Rfc2217Options {
  std::string portName = "COM5";
  std::string bindAddress = "127.0.0.1";  // 127.0.0.0/8 only
  uint16_t tcpPort = 7000;                // 0: any free port
  int verbosity = 1;                      // 0 quiet, 1 connections, 2 settings and negotiation
};

class Rfc2217Server {
 public:
  explicit Rfc2217Server(Rfc2217Options options);
  ~Rfc2217Server();  // stops
  Rfc2217Server(const Rfc2217Server&) = delete;
  Rfc2217Server& operator=(const Rfc2217Server&) = delete;

  // Binds, listens and starts accepting; false with *error set otherwise.
  bool start(std::string* error);
  uint16_t tcpPort() const { return boundPort_; }
  // Closes the listener and the client's session (and so the port), joins
  // every thread. Idempotent.
  void stop();

 private:
  void runAccept();
  void serve(int client, const std::string& peer);
  void refuse(int client, const std::string& peer, const std::string& message);

  Rfc2217Options options_;
  int listener_ = -1;
  int wakePipe_[2] = {-1, -1};
  uint16_t boundPort_ = 0;
  std::thread acceptThread_;
  std::mutex lock_;
  std::unique_ptr<rfc2217::Session> session_;
};

}  // namespace tzcom
