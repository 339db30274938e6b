// The byte stream cpp-httplib parses requests from, over one accepted
// socket, with the limits the library itself does not enforce:
//
// - a deadline for a whole request to arrive (the library's read timeout
//   applies to each read, so a client trickling a byte every few seconds
//   would otherwise hold a connection thread for ever);
// - a budget for the bytes of a request's head (the library bounds each
//   header line, not how many lines there are).
//
// Reads are buffered: the library reads a request's head a byte at a time.
// The bytes of the request being read are kept until the next one begins,
// so that a request can be read again from its start (replay()).
// So are writes: the library writes a response's head and body (and each
// streamed chunk's size, data and end) separately, and with Nagle off each
// write would be a packet of its own and a wake-up of the client. Output
// goes out when it grows past a few pages, when flush() is called (after
// each response, before a streamed response waits for its next event), and
// before any wait for input, so a reply the client waits for (100 Continue)
// is never held back.
//
// Without waiting (set_waiting(false)), the stream never blocks: a read
// that would wait fails and marks the stream starved, a wait for input
// sends nothing first, and flush_available() sends only what the socket
// takes at once. A thread that must not be held by a slow client reads a
// request that way, and leaves it to a thread that may wait when it is
// not all there yet.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include <httplib.h>

namespace vorn_serve {

class SocketStream final : public httplib::Stream {
 public:
  using Clock = std::chrono::steady_clock;

  SocketStream(int socket, std::chrono::milliseconds read_timeout, std::chrono::milliseconds write_timeout);

  // A new request starts arriving: its deadline and head budget start now.
  // The bytes of the one before are let go.
  void begin_request(std::chrono::milliseconds deadline, std::size_t head_budget);
  // Reads the current request again from its first byte, with the same
  // deadline and a fresh head budget, and drops the output written since
  // it began (none of which may have been sent).
  void replay(std::size_t head_budget);

  // Whether reads and waits may block (true at first).
  void set_waiting(bool waiting) noexcept;
  // A read found no byte without waiting (only when not waiting).
  bool starved() const noexcept { return starved_; }
  // Whether some output of the request went out already.
  bool sent_any() const noexcept { return sent_any_; }
  // Sends what the socket takes without waiting; false when the client is
  // gone. pending_output() tells whether some is left for flush().
  bool flush_available();
  bool pending_output() const noexcept { return !out_.empty(); }
  // Bytes received and not read yet (the start of a next request).
  bool has_input() const noexcept { return buffered(); }
  // The head was read (routing began); the body is bounded by the body limit.
  void head_done() noexcept { head_budget_ = SIZE_MAX; }
  // The request was read in full; reads no longer count against the deadline.
  void lift_deadline() noexcept { deadline_ = Clock::time_point::max(); }
  bool head_overflowed() const noexcept { return head_overflow_; }
  bool deadline_passed() const noexcept { return deadline_passed_; }

  // Waits up to `timeout` for the next request's first byte; false on
  // timeout, close or error.
  bool wait_readable(std::chrono::milliseconds timeout) const;

  // Whether the client closed the connection (or it failed) while its
  // request is being answered; bytes of a next request waiting in the
  // buffer or on the socket are not a close. A client that only shut down
  // its sending side reads the same as one that left.
  bool peer_closed() const;

  // Sends the buffered output; false when the client cannot take it
  // (gone, or not reading within the write timeout).
  bool flush() const;

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return socket_; }

 private:
  int poll_for(short events, std::chrono::milliseconds timeout) const;
  std::chrono::milliseconds read_wait() const;
  bool buffered() const noexcept { return pos_ < end_; }
  // Receives what the socket holds into the buffer: bytes read, 0 when the
  // peer closed, -1 on error or when it would block.
  ssize_t receive(int flags);
  // Sends out_ from its start; what was sent leaves out_.
  bool send_out(bool wait) const;

  int socket_;
  std::chrono::milliseconds read_timeout_, write_timeout_;
  Clock::time_point deadline_ = Clock::time_point::max();
  std::size_t head_budget_ = SIZE_MAX;
  bool head_overflow_ = false;
  mutable bool deadline_passed_ = false;
  bool waiting_ = true;
  mutable bool starved_ = false;
  mutable bool sent_any_ = false;
  // in_[start_, end_) holds the current request's bytes, pos_ the next to read.
  // Allocated at the first read, not when the connection is accepted.
  std::vector<char> in_;
  std::size_t start_ = 0, pos_ = 0, end_ = 0;
  // Written, not yet sent. Mutable: a wait for input, const in the
  // library's interface, sends it first.
  mutable std::string out_;
  mutable bool out_failed_ = false;
  struct Address {
    bool known = false;
    std::string ip;
    int port = 0;
  };
  mutable Address remote_, local_;
  void cached_address(Address& cache, int (*lookup)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const;
};

}  // namespace vorn_serve
