// Serves one board's socket: accepts host connections, reads frames, hands
// each request to the request handler and sends the reply. One thread per
// board serves all its connections (epoll), so the VpSide hooks of a board
// never run concurrently.
//
// The board belongs to one host process at a time: the first whose request
// changes the board owns it until its last such connection closes (also
// when the process dies); requests of other processes that would change it
// are refused with 170 (busy), while looking at it stays open to all.
#pragma once

#include "board_state.h"
#include "device_wire.h"
#include "spin_wait.h"

#include <atomic>
#include <memory>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace hb::vboard::detail {

class BoardServer {
  public:
    // Binds and listens at the board's socket path; throws as Device::addBoard.
    explicit BoardServer(BoardState& board);
    ~BoardServer();
    BoardServer(const BoardServer&) = delete;
    BoardServer& operator=(const BoardServer&) = delete;

    // Closes every connection and the socket, removes the socket path and
    // ends the thread. Idempotent.
    void stop();
    // Closes every connection; new ones are still accepted. Waits until done
    // unless called on the serving thread itself.
    void dropConnections();

  private:
    struct Connection;

    void run();
    void acceptConnection();
    bool serviceConnection(Connection& connection);
    bool handleFrame(Connection& connection, const wire::FrameHeader& header,
                     const uint8_t* payload, std::vector<int>& descriptors);
    bool greet(Connection& connection, const wire::FrameHeader& header, const uint8_t* payload,
               bool sentDescriptors);
    bool takeNotice(Connection& connection, const wire::FrameHeader& header,
                    const uint8_t* payload);
    bool sendReply(Connection& connection, uint32_t requestId, uint32_t flags, uint32_t status,
                   uint32_t bytesReturned, const uint8_t* payload, size_t length,
                   const ReplyFault& fault = {}, int descriptor = -1);
    bool claimBoard(Connection& connection);
    bool ownerStillConnected() const;
    void closeConnection(Connection& connection);
    void closeAllConnections();
    void wake();

    BoardState& board_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    int epollFd_ = -1;
    ino_t socketInode_ = 0;
    std::vector<std::unique_ptr<Connection>> connections_;
    ConnectionId nextConnection_ = 1;
    // The process whose connections may change the board (0: none yet).
    // Held while one of its connections that changed the board is open.
    pid_t owner_ = 0;
    std::vector<uint8_t> replyPayload_;
    wire::SpinBudget frameSpin_; // how long the thread looks for a frame before it sleeps

    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> dropsRequested_{0};
    std::atomic<uint64_t> dropsDone_{0};
    bool dropPending_ = false; // set by a hook on the serving thread
    std::thread thread_;
};

} // namespace hb::vboard::detail
