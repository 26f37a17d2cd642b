#include <doctest/doctest.h>

#include <windows.h>
#include <wininet.h>

#include "Helpers.h"
#include "manifest/Sites.h"
#include "transfer/Internet.h"
#include "transfer/Mirror.h"

// Fifteen workers on one site need fifteen connections to it at once: the
// limit WinInet keeps per server is raised before the workers start.
TEST_CASE("the workers of one site are not held to WinInet's connections per server") {
  REQUIRE(LoadWinInet());
  HMODULE module = GetModuleHandleA("wininet.dll");
  REQUIRE(module != nullptr);
  auto query = reinterpret_cast<decltype(&InternetQueryOptionA)>(
      reinterpret_cast<void*>(GetProcAddress(module, "InternetQueryOptionA")));
  bool found = query != nullptr;
  REQUIRE(found);
  ResetSites();
  StartSiteWorkers();  // no site: no worker starts
  for (DWORD option : {INTERNET_OPTION_MAX_CONNS_PER_SERVER, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER}) {
    CAPTURE(option);
    DWORD connections = 0, size = sizeof connections;
    REQUIRE(query(nullptr, option, &connections, &size));
    CHECK(connections >= 15);
  }
}
