// One RFC 2217 client on one open port. Four threads: the socket thread
// parses what the client sends (data queued for the port, commands carried
// out and answered), the writer thread writes the queued data to the port,
// the port thread reads the port and sends its data to the client, and the
// event thread waits on the port's modem and line events and sends the
// notifications. With writes off the socket thread, a write held by flow
// control does not hold up the command that releases it (DTR on, flow
// control off, a purge), as long as less than a queue's worth of data is
// waiting. The session ends when the client disconnects, a
// socket or port operation fails for good, or stop() is called; it then
// closes the port (DTR drops) and the socket.
#pragma once

#include "tools/comm/comm.h"
#include "tools/tzcom/rfc2217_commands.h"
#include "tools/tzcom/telnet_codec.h"
#include "tools/tzcom/telnet_options.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace tzcom::rfc2217 {

class Session : private telnet::Handler {
 public:
  // Takes ownership of the connected socket and the open (overlapped) port.
  Session(int socket, HANDLE port, std::string portName, std::string peer, int verbosity);
  ~Session();  // stops and joins
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Asks every thread to end; returns at once.
  void requestStop();
  // Stops and waits until the port and the socket are closed.
  void stop();
  // True once the port is closed: the next client may open it.
  bool finished() const { return finished_; }

 private:
  void runSocket();
  void runPort();
  void runEvents();
  void runWriter();
  void drainWrites();
  void finish();

  void onData(std::span<const uint8_t> data) override;
  void onNegotiation(uint8_t verb, uint8_t option) override;
  void onSubnegotiation(uint8_t option, std::span<const uint8_t> payload) override;
  void onMalformed(const char* what) override;
  void announceModemState();

  // Sends to the client whole, under sendLock_; false once the client is gone.
  bool send(std::span<const uint8_t> bytes);
  bool sendCommand(const Bytes& payload);
  // Waits for an overlapped operation, cancelling it when the session stops.
  bool collect(comm::OVERLAPPED& ov, comm::DWORD* transferred);

  int socket_;
  HANDLE port_;
  std::string portName_;
  std::string peer_;
  Logger log_;
  PortControl control_;
  telnet::Parser parser_;
  telnet::Options options_;
  std::mutex sendLock_;
  std::mutex wakeLock_;
  std::condition_variable wake_;  // resume of port data, or stop
  std::mutex writeLock_;
  std::condition_variable writeReady_;  // data queued, room in the queue, or stop
  std::deque<uint8_t> writeQueue_;      // client data not yet written to the port
  bool writing_ = false;                // a chunk taken from the queue is being written
  bool clientGone_ = false;  // under sendLock_
  bool modemStateAnnounced_ = false;  // socket thread only
  std::atomic<bool> stopping_{false};
  std::atomic<bool> finished_{false};
  std::thread portThread_, eventThread_, writerThread_, socketThread_;
};

}  // namespace tzcom::rfc2217
