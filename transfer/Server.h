// The client side of the file-server protocol: one blocking TCP connection,
// requests and replies strictly alternating.
#pragma once
#include <winsock2.h>

#include <cstdint>

#include "transfer/Protocol.h"

struct TFileEntry;

extern SOCKET ServerSocket;  // 0: no connection
extern int32_t ChunkSize;
extern uint8_t* ReceiveBuffer;  // ChunkSize + 128 bytes each
extern uint8_t* InflateBuffer;
extern uint8_t* ReplyData;  // the content of the last reply

// RequestChunk's result when the exchange broke (no connection, a reply cut
// short, malformed or too long): the connection is closed then.
constexpr int32_t kReplyBroken = -2;

// 0 when connected; nonzero on any failure (ServerSocket stays 0).
int32_t ConnectServer();
int32_t SendAll(const void* data, int32_t count);
// Stops early when the peer closes or fails; checks for a stop before each
// piece.
int32_t ReceiveAll(void* buffer, int32_t count);
void SendTextMessage(const char* text);
// Content bytes now at ReplyData; 0 for a reply without content; -1 when a
// compressed payload did not inflate; kReplyBroken.
int32_t RequestChunk(const char* name, int32_t offset);
// Fetches one entry; State becomes 1 only when the file arrived whole and
// replaced the installed one.
void FetchFromServer(TFileEntry* entry);
