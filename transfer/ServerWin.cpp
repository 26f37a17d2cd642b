#include <winsock2.h>

#include "app/Progress.h"
#include "config/Deployment.h"
#include "config/Settings.h"
#include "manifest/Manifest.h"
#include "support/Log.h"
#include "support/TextUtil.h"
#include "support/StallWatch.h"
#include "support/Threads.h"
#include "transfer/PartFile.h"
#include "transfer/Server.h"

uintptr_t ServerSocket;

namespace {
constexpr int32_t kPieceSize = 1024;
// The connection's receives: a server that sends a byte now and then, never
// silent for long, is left like a silent one.
TStallWatch Watch(kMirrorStallMs, kMirrorStallBytes);
}  // namespace

const char* SocketError() {
  // One thread at a time asks: the session before the pass starts, the
  // pass after.
  static char text[32];
  int error = WSAGetLastError();
  if (error == WSAETIMEDOUT) return "time-out";
  if (error == WSAECONNREFUSED) return "connection refused";
  if (error == WSAECONNRESET) return "connection reset";
  if (error == 0) return "connection closed";
  TextFromInt(TextCopy(text, "socket error "), static_cast<uint32_t>(error));
  return text;
}

void DropConnection() {
  // No connection before the close: a thread woken by it finds none and
  // does not close the same socket again.
  uintptr_t connection = ServerSocket;
  ServerSocket = 0;
  if (connection) closesocket(connection);
}

int32_t ConnectServer() {
  unsigned long address = inet_addr(Settings.Host);
  hostent* host = nullptr;
  if (address == INADDR_NONE)
    host = gethostbyname(Settings.Host);
  else
    host = gethostbyaddr(reinterpret_cast<const char*>(&address), 4, AF_INET);
  sockaddr_in target = {};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<u_short>(Settings.Port & 0xFFFF));
  if (host && host->h_addr_list && host->h_addr_list[0])
    target.sin_addr = *reinterpret_cast<in_addr*>(host->h_addr_list[0]);
  else if (address != INADDR_NONE)
    target.sin_addr.s_addr = address;  // an address without a reverse name is still an address
  else
    return -1;
  SOCKET connection = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (connection == INVALID_SOCKET) return -1;
  ServerSocket = connection;
  Watch.Reset();
  int result = connect(ServerSocket, reinterpret_cast<sockaddr*>(&target), sizeof target);
  if (result != 0) {
    DropConnection();
    return result;
  }
  // A server that sends nothing for this long loses the connection: a
  // receive then fails like a closed one.
  DWORD silence = kServerSilenceMs;
  setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&silence), sizeof silence);
  setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&silence), sizeof silence);
  return 0;
}

int32_t SendAll(const void* data, int32_t count) {
  const char* p = static_cast<const char*>(data);
  int32_t total = 0;
  while (total < count) {
    int32_t piece = count - total < kPieceSize ? count - total : kPieceSize;
    int sent = send(ServerSocket, p + total, piece, 0);
    if (sent <= 0) break;
    total += sent;
  }
  return total;
}

int32_t ReceiveAll(void* buffer, int32_t count) {
  char* p = static_cast<char*>(buffer);
  int32_t total = 0;
  while (total < count) {
    CheckStop();
    int32_t piece = count - total < kPieceSize ? count - total : kPieceSize;
    uint32_t start = GetTickCount();
    int got = recv(ServerSocket, p + total, piece, 0);
    if (got <= 0) break;  // closed by the peer, or failed
    total += got;
    if (!Watch.Add(GetTickCount() - start, got)) break;
  }
  return total;
}

void SendTextMessage(const char* text) {
  int32_t length = TextLength(text) + 4;
  char message[4 + kTextCapacity];
  message[0] = static_cast<char>(length);
  message[1] = static_cast<char>(length >> 8);
  message[2] = static_cast<char>(length >> 16);
  message[3] = static_cast<char>(length >> 24);
  // The length and the text leave in one send where they fit: sent apart,
  // the text waits for the peer to acknowledge the length (a delayed ACK,
  // tens of milliseconds a request).
  if (length - 4 < kTextCapacity) {
    TextCopy(message + 4, text);
    SendAll(message, length);
    return;
  }
  SendAll(message, 4);
  SendAll(text, length - 4);
}

int32_t RequestChunk(const char* name, int32_t offset) {
  if (!ServerSocket) return kReplyBroken;
  char request[kTextCapacity];
  SendTextMessage(FormatChunkRequest(request, name, offset, ChunkSize));
  uint8_t word[4];
  if (ReceiveAll(word, 4) != 4) {
    DropConnection();
    return kReplyBroken;
  }
  TReplyHeader header = DecodeReplyHeader(word);
  TransferStats.BytesReceived =
      static_cast<int32_t>(static_cast<uint32_t>(TransferStats.BytesReceived) + static_cast<uint32_t>(header.Length));
  if (!ReplyHeaderValid(header)) {
    DropConnection();  // the stream can no longer be followed
    return kReplyBroken;
  }
  if (header.Payload == 0) return 0;
  if (ReceiveAll(ReceiveBuffer, header.Payload) != header.Payload) {
    DropConnection();
    return kReplyBroken;
  }
  return DecodeReplyPayload(header, ReceiveBuffer, InflateBuffer, &ReplyData);
}

void FetchFromServer(TFileEntry* entry) {
  if (!ServerSocket) return;  // nothing to fetch with: the entry stays pending
  uint32_t started = GetTickCount();
  // Kept across a dropped connection and across runs: a transfer goes on at
  // the last whole chunk an earlier attempt received.
  TPartFile file(*entry, ChunkSize);
  int32_t offset = file.ResumeAt();
  if (offset > 0) {
    char at[16];
    TextFromInt(at, static_cast<uint32_t>(offset));
    LogLine("resuming ", entry->Name, " at byte ", at);
  }
  TFailure failure = kFailNone;
  const char* detail = nullptr;
  int32_t n;
  do {
    n = RequestChunk(entry->Name, offset);
    if (n > 0) {
      offset += n;
      if (!file.Write(ReplyData, n)) failure = file.Failure;  // a failed disk, or more than the file may hold
    } else if (n == kReplyBroken) {
      failure = kFailConnection;
      detail = SocketError();
    } else if (n < 0) {  // kReplyNotInflated
      failure = kFailNotInflated;
    }
    UpdateProgress(static_cast<int32_t>(TransferStats.BytesDone) + (n > 0 ? n : 0));
  } while (n >= ChunkSize && !failure);
  entry->Written = offset;
  if (!failure && entry->Size > 0 && offset != entry->Size) failure = kFailWrongSize;
  if (!failure && !file.Stage(static_cast<int32_t>(entry - FileTable), entry->DosTime))
    failure = FirstFailure(file.Failure, kFailWrite);
  if (!failure) entry->State = kDone;
  LogFetch(*entry, "the server", failure, detail, started);
}
