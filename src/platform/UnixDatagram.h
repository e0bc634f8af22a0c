#pragma once
// Sends datagrams to a Unix-domain datagram socket named by its path (the system log and the
// journal listen on such sockets). Sending never blocks: a datagram that the receiver has no room
// for, or that finds no receiver, is not sent. Safe to use from any thread.
#include <string>
#include <string_view>

namespace quarra {

class UnixDatagramSender {
  public:
    enum class Result { Sent, NoReceiver, Full, TooLarge, Failed };

    UnixDatagramSender();
    ~UnixDatagramSender();
    UnixDatagramSender(const UnixDatagramSender&) = delete;
    UnixDatagramSender& operator=(const UnixDatagramSender&) = delete;

    Result send(const std::string& path, std::string_view datagram);
    // Sends an empty datagram that carries a sealed in-memory file holding `contents`: the way to
    // hand a receiver more than one datagram can hold, where the receiver accepts it.
    Result sendAsSealedFile(const std::string& path, std::string_view contents);

  private:
    int fd_ = -1;
};

}  // namespace quarra
