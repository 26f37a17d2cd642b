// The file-server protocol: its texts and bytes and the transfer buffers
// (Server.cpp, platform-free), and the client side over one blocking TCP
// connection, requests and replies strictly alternating (ServerWin.cpp).
#pragma once
#include <cstdint>

struct TFileEntry;

constexpr int32_t kChunkSize = 262144;
// Every reply payload must fit the receive buffer.
constexpr int32_t kReceiveCapacity = kChunkSize + 128;

// The transfer buffers, kReceiveCapacity bytes each; they also carry the
// manifest text and the shortcut list.
extern int32_t ChunkSize;
extern uint8_t* ReceiveBuffer;
extern uint8_t* InflateBuffer;
extern uint8_t* ReplyData;  // the content of the last reply
// Allocates both buffers once at start; false when memory ran out (both stay
// null).
bool InitTransferBuffers();
// Frees them; also the reset for tests.
void ReleaseTransferBuffers();

// "name;offset;count" into out (260 characters are enough for a manifest
// name). Returns out.
char* FormatChunkRequest(char* out, const char* name, int32_t offset, int32_t count);
// XOR with the repeating key, starting at its first character. Its own inverse.
void XorScramble(uint8_t* buffer, int32_t count);

struct TReplyHeader {
  bool Compressed;
  int32_t Length;   // the whole reply, header included
  int32_t Payload;  // Length - 4
};
TReplyHeader DecodeReplyHeader(const uint8_t bytes[4]);
// A header is well formed when its length covers itself and its payload
// fits the receive buffer.
bool ReplyHeaderValid(const TReplyHeader& header);
// The content of a payload that arrived whole in `payload`: inflated into
// `inflated` (of capacity kChunkSize) or unscrambled in place. Sets *data to
// where the content lies; returns its length or -1.
int32_t DecodeReplyPayload(const TReplyHeader& header, uint8_t* payload, uint8_t* inflated, uint8_t** data);

// Win32 side.

extern uintptr_t ServerSocket;  // the connection's SOCKET; 0: no connection

// RequestChunk's results besides a count of bytes: a compressed payload that
// did not inflate, and an exchange that broke (no connection, a reply cut
// short, malformed or too long; the connection is closed then).
constexpr int32_t kReplyNotInflated = -1;
constexpr int32_t kReplyBroken = -2;

// 0 when connected; nonzero on any failure (ServerSocket stays 0).
int32_t ConnectServer();
// The last socket failure in words, for the log: "time-out", "connection
// refused", "socket error N". The text is the calling thread's until its
// next call.
const char* SocketError();
// Closes the connection, if there is one.
void DropConnection();
int32_t SendAll(const void* data, int32_t count);
// Stops early when the peer closes or fails; checks for a stop before each
// piece.
int32_t ReceiveAll(void* buffer, int32_t count);
void SendTextMessage(const char* text);
// Content bytes now at ReplyData; 0 for a reply without content;
// kReplyNotInflated or kReplyBroken.
int32_t RequestChunk(const char* name, int32_t offset);
// Fetches one entry; State becomes kDone only when the file arrived whole and
// replaced the installed one.
void FetchFromServer(TFileEntry* entry);
