// Benchmark floor: a bare Win32 console program that connects to
// 127.0.0.1:<port>, receives <bytes> bytes in recv calls of <piece> bytes and
// prints "recv <bytes> <seconds>" (time from connect to the last byte).
// Usage: floor_recv <port> <bytes> <piece>
#include <winsock2.h>
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: floor_recv <port> <bytes> <piece>\n");
    return 2;
  }
  int port = atoi(argv[1]);
  long long want = _atoi64(argv[2]);
  int piece = atoi(argv[3]);
  if (piece <= 0) piece = 1024;
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 3;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return 3;
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons((u_short)port);
  addr.sin_addr.s_addr = htonl(0x7f000001);
  LARGE_INTEGER freq, t0, t1;
  QueryPerformanceFrequency(&freq);
  QueryPerformanceCounter(&t0);
  if (connect(s, (sockaddr*)&addr, sizeof addr) != 0) {
    fprintf(stderr, "connect failed %d\n", WSAGetLastError());
    return 4;
  }
  std::vector<char> buf(piece);
  long long got = 0, calls = 0;
  while (got < want) {
    int n = recv(s, buf.data(), piece, 0);
    if (n <= 0) break;
    got += n;
    ++calls;
  }
  QueryPerformanceCounter(&t1);
  closesocket(s);
  WSACleanup();
  double secs = double(t1.QuadPart - t0.QuadPart) / double(freq.QuadPart);
  printf("recv %lld %.6f %lld\n", got, secs, calls);
  return got == want ? 0 : 1;
}
