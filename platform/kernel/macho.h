#pragma once
// Mach-O header and load-command layouts the loader presents and the readers
// walk. Plain data, little-endian, read with memcpy (no alignment assumed).
#include <cstdint>

namespace platform::kernel::macho {

inline constexpr std::uint32_t kMagic32 = 0xFEEDFACEu;
inline constexpr std::uint32_t kMagic64 = 0xFEEDFACFu;
inline constexpr std::uint32_t kCpuTypeX86_64 = 0x01000007u;
inline constexpr std::uint32_t kCpuSubtypeX86_64All = 3u;
inline constexpr std::uint32_t kFileTypeExecute = 2u;
inline constexpr std::uint32_t kFileTypeDylib = 6u;

inline constexpr std::uint32_t kLcEncryptionInfo = 0x21u;
inline constexpr std::uint32_t kLcEncryptionInfo64 = 0x2Cu;

struct Header32 {  // 28 bytes
  std::uint32_t magic, cputype, cpusubtype, filetype, ncmds, sizeofcmds, flags;
};
struct Header64 {  // 32 bytes
  std::uint32_t magic, cputype, cpusubtype, filetype, ncmds, sizeofcmds, flags, reserved;
};
struct LoadCommand {
  std::uint32_t cmd, cmdsize;
};
struct EncryptionInfo64 {  // 24 bytes; the 32-bit form is the first 20
  std::uint32_t cmd, cmdsize, cryptoff, cryptsize, cryptid, pad;
};

static_assert(sizeof(Header32) == 28 && sizeof(Header64) == 32 && sizeof(EncryptionInfo64) == 24);

}  // namespace platform::kernel::macho
