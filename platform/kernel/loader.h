#pragma once
// The process's loaded images, presented as Mach-O headers. Each ELF image of
// the process (dl_iterate_phdr order: the main program first) gets a small
// Mach-O 64 header in platform-owned memory: x86_64, file type 2 for the main
// program and 6 for shared objects; the main program's header carries an
// encryption-info command whose cryptid is 1 exactly when the boot facts name
// the "app_store" distribution.
//
// The list is built on first use and then never changes until
// reset_for_testing(); its entries and headers stay valid until then. Any
// thread may read it.
#include <cstddef>
#include <cstdint>

namespace platform::kernel {

// What the kernel is told at boot (os::boot fills it); it reads no profile itself.
struct BootFacts {
  char distribution[32] = {};  // "development", "app_store", "enterprise"; NUL-terminated
};
// Takes the facts; an image list already built follows them.
void set_boot_facts(const BootFacts& facts);

struct Image {
  const char* path;
  const void* macho_header;
  std::intptr_t slide;
};

std::size_t image_count();
// nullptr past the end.
const Image* image_at(std::size_t index);

// Drops the image list and the boot facts (platform::testing::reset()).
void reset_for_testing();

}  // namespace platform::kernel
