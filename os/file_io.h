// File contents at the boundary: opening a file the way the platform's file creation does,
// reading, writing and seeking by descriptor, temporary files and random identifiers.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "os/error.h"
#include "os/handle.h"
#include "os/root.h"

namespace os {

// Access rights.
inline constexpr std::uint32_t GENERIC_READ = 0x80000000;
inline constexpr std::uint32_t GENERIC_WRITE = 0x40000000;
inline constexpr std::uint32_t GENERIC_ALL = 0x10000000;
inline constexpr std::uint32_t FILE_READ_DATA = 0x0001;
inline constexpr std::uint32_t FILE_WRITE_DATA = 0x0002;
inline constexpr std::uint32_t FILE_APPEND_DATA = 0x0004;
// Share modes (accepted; the host has no mandatory share modes, see os/files.h).
inline constexpr std::uint32_t FILE_SHARE_READ = 0x1;
inline constexpr std::uint32_t FILE_SHARE_WRITE = 0x2;
inline constexpr std::uint32_t FILE_SHARE_DELETE = 0x4;
// Dispositions.
inline constexpr std::uint32_t CREATE_NEW = 1;
inline constexpr std::uint32_t CREATE_ALWAYS = 2;
inline constexpr std::uint32_t OPEN_EXISTING = 3;
inline constexpr std::uint32_t OPEN_ALWAYS = 4;
inline constexpr std::uint32_t TRUNCATE_EXISTING = 5;
// Flags (with the attribute bits of os/files.h: FILE_ATTRIBUTE_READONLY makes a new file
// read-only).
inline constexpr std::uint32_t FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
inline constexpr std::uint32_t FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;
// Seek methods.
inline constexpr std::uint32_t FILE_BEGIN = 0;
inline constexpr std::uint32_t FILE_CURRENT = 1;
inline constexpr std::uint32_t FILE_END = 2;

// Opens or creates a file. Read and write access open it for reading and writing; append-only
// access writes at its end. CREATE_NEW fails with 80 when the file exists, OPEN_EXISTING and
// TRUNCATE_EXISTING with 2 when it does not. A directory opens only for reading (5 otherwise).
// A link in the last component is never followed (1921): a caller that opens a full path and
// means to go through a safe link opens the root of its parent with Root::Last::followSafeLink.
Result<Handle> openFile(const Root& root, std::u16string_view relative, std::uint32_t access,
                        std::uint32_t share, std::uint32_t disposition, std::uint32_t flags);

// Reads at most count bytes; 0 at the end of the file.
Result<std::size_t> readFile(NativeHandle file, void* buffer, std::size_t count);

// Writes count bytes (several writes where the host takes fewer at once). Returns how many were
// written; a failure after some bytes were written returns that smaller count.
Result<std::size_t> writeFile(NativeHandle file, const void* buffer, std::size_t count);

// Moves the file position (FILE_BEGIN, FILE_CURRENT, FILE_END) and returns the new one.
Result<std::uint64_t> seekFile(NativeHandle file, std::int64_t distance, std::uint32_t method);

// The host's directory for temporary files (TMPDIR, TMP or TEMP, else /tmp) as a Windows-form
// path ending in "\". It may not exist.
std::u16string tempDirectory();

// Creates a new, empty file "<prefix>XXXX.TMP" (XXXX: four upper-case hexadecimal digits) that
// did not exist, in the directory, readable and writable by its owner only, and returns its
// name. 80 when every name is taken.
Result<std::u16string> createTempFile(std::u16string_view directory, std::u16string_view prefix);

// Sixteen bytes from the kernel's random source.
Result<std::array<std::uint8_t, 16>> randomBytes();

} // namespace os
