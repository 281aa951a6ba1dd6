# The texts are GBK byte escapes (hosts/texts.h), which keep their bytes whatever the execution
# character set, around ASCII that must stay ASCII: a compiler that cannot give both would print
# something other than what the console shows, so it is refused here rather than discovered there.
include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_INCLUDES ${CMAKE_CURRENT_SOURCE_DIR}/hosts)
check_cxx_source_compiles([[
#include "texts.h"
constexpr unsigned char gbk[] = {0x68, 0x6F, 0x73, 0x74, 0x73, 0x5F, 0x77, 0x72, 0x69, 0x74,
  0x65, 0x3A, 0x25, 0x73, 0xB2, 0xBB, 0xB4, 0xE6, 0xD4, 0xDA, 0xA3, 0xA1, 0x0A, 0x00};
constexpr bool same() {
  if (sizeof texts::write_missing != sizeof gbk) return false;
  for (unsigned i = 0; i < sizeof gbk; ++i)
    if (static_cast<unsigned char>(texts::write_missing[i]) != gbk[i]) return false;
  return true;
}
static_assert(same(), "not GBK");
int main() { return 0; }
]] HOSTS_TEXTS_ARE_GBK)
unset(CMAKE_REQUIRED_INCLUDES)
if(NOT HOSTS_TEXTS_ARE_GBK)
  message(FATAL_ERROR "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION} (${CMAKE_CXX_COMPILER}) "
    "does not compile the program's texts to their GBK bytes with these flags "
    "(CMAKE_CXX_FLAGS: '${CMAKE_CXX_FLAGS}'): ASCII characters must stay ASCII and \\x escapes must "
    "stay single bytes. Choose another compiler or drop the option that changes its execution "
    "character set.")
endif()
