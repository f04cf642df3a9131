// The sockets through which the boxes are reached: one listening socket per
// device interface, a poll loop that answers requests one message at a time,
// and the request journal.
#pragma once

#include <string>
#include <vector>

#include "boxserver/box_protocol.h"

class DeviceServer {
public:
  // journalFd: an O_APPEND file for the journal, or -1 for none.
  DeviceServer(std::string directory, int journalFd);
  ~DeviceServer();
  DeviceServer(const DeviceServer&) = delete;
  DeviceServer& operator=(const DeviceServer&) = delete;

  // Creates the listening socket of one interface under a temporary name.
  bool Add(const std::string& socketName, BoxInterface interface, BoxProtocol* box,
           std::string* error);
  // Gives the sockets their names, in the order they were added, so that a
  // client that sees one also finds those added before it.
  bool Publish(std::string* error);
  // Serves requests until stopFd becomes readable.
  void Run(int stopFd);
  // Removes the published sockets (also done by the destructor).
  void RemoveSockets();

private:
  struct Listener {
    int fd;
    std::string temporaryPath, path;
    bool published;
    BoxInterface interface;
    BoxProtocol* box;
  };
  struct Client {
    int fd;
    BoxInterface interface;
    BoxProtocol* box;
    uint32_t pid;  // of the program at the other end
  };
  void Drop(size_t index);
  void Accept(const Listener& listener);
  // false when the client is to be dropped.
  bool Serve(const Client& client);
  void Journal(BoxInterface interface, uint32_t code, const uint8_t* in, uint32_t inSize,
               uint32_t outSize);

  const std::string directory_;
  const int journalFd_;
  std::vector<Listener> listeners_;
  std::vector<Client> clients_;
  std::vector<uint8_t> buffer_;
};
