// The image list: ELF images found by dl_iterate_phdr, each with a synthetic
// Mach-O 64 header built in memory this module owns.
#include "platform/kernel/loader.h"

#include <link.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/macho.h"

namespace platform::kernel {

namespace {

// Header plus the commands one image carries; 8-aligned like a real header.
struct alignas(8) SyntheticHeader {
  macho::Header64 header;
  macho::EncryptionInfo64 encryption;  // counted in ncmds for the main program only
};

struct ImageList {
  std::vector<std::string> paths;
  std::vector<std::unique_ptr<SyntheticHeader>> headers;
  std::vector<Image> images;
};

std::mutex& list_mutex() {
  static std::mutex m;
  return m;
}
std::atomic<ImageList*> g_list{nullptr};
BootFacts g_facts;  // guarded by list_mutex()

std::uint32_t cryptid_for(const BootFacts& facts) {
  return std::strncmp(facts.distribution, "app_store", sizeof facts.distribution) == 0 ? 1u : 0u;
}

std::string main_program_path() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

struct Found {
  std::string path;
  std::intptr_t slide;
};

int collect(dl_phdr_info* info, std::size_t, void* out) {
  auto* found = static_cast<std::vector<Found>*>(out);
  std::string path = info->dlpi_name ? info->dlpi_name : "";
  if (found->empty() && path.empty()) path = main_program_path();
  found->push_back({std::move(path), static_cast<std::intptr_t>(info->dlpi_addr)});
  return 0;
}

ImageList* build(const BootFacts& facts) {
  std::vector<Found> found;
  ::dl_iterate_phdr(collect, &found);
  auto list = std::make_unique<ImageList>();
  list->paths.reserve(found.size());
  for (std::size_t i = 0; i < found.size(); ++i) {
    auto h = std::make_unique<SyntheticHeader>();
    std::memset(h.get(), 0, sizeof *h);
    const bool main_program = i == 0;
    h->header.magic = macho::kMagic64;
    h->header.cputype = macho::kCpuTypeX86_64;
    h->header.cpusubtype = macho::kCpuSubtypeX86_64All;
    h->header.filetype = main_program ? macho::kFileTypeExecute : macho::kFileTypeDylib;
    if (main_program) {
      h->header.ncmds = 1;
      h->header.sizeofcmds = sizeof(macho::EncryptionInfo64);
      h->encryption.cmd = macho::kLcEncryptionInfo64;
      h->encryption.cmdsize = sizeof(macho::EncryptionInfo64);
      h->encryption.cryptid = cryptid_for(facts);
    }
    list->paths.push_back(std::move(found[i].path));
    list->headers.push_back(std::move(h));
  }
  // Paths are stored first: their c_str() pointers stay put from here on.
  for (std::size_t i = 0; i < found.size(); ++i) {
    list->images.push_back({list->paths[i].c_str(), list->headers[i].get(), found[i].slide});
  }
  return list.release();
}

const ImageList& list() {
  if (ImageList* l = g_list.load(std::memory_order_acquire)) return *l;
  std::lock_guard lock(list_mutex());
  if (ImageList* l = g_list.load(std::memory_order_relaxed)) return *l;
  ImageList* l = build(g_facts);
  g_list.store(l, std::memory_order_release);
  return *l;
}

}  // namespace

void set_boot_facts(const BootFacts& facts) {
  std::lock_guard lock(list_mutex());
  g_facts = facts;
  g_facts.distribution[sizeof g_facts.distribution - 1] = '\0';
  if (ImageList* l = g_list.load(std::memory_order_relaxed); l && !l->headers.empty()) {
    l->headers.front()->encryption.cryptid = cryptid_for(g_facts);
  }
}

std::size_t image_count() { return list().images.size(); }

const Image* image_at(std::size_t index) {
  const ImageList& l = list();
  return index < l.images.size() ? &l.images[index] : nullptr;
}

void reset_for_testing() {
  std::lock_guard lock(list_mutex());
  delete g_list.exchange(nullptr, std::memory_order_acq_rel);
  g_facts = BootFacts{};
}

}  // namespace platform::kernel
