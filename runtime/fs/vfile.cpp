#include "runtime/fs/vfile.h"

#include "os/files.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/core/registry.h"
#include "runtime/fs/files.h"
#include "runtime/fs/path/filename.h"

namespace {

// A new random GUID as text, as the platform writes it: lower-case hexadecimal in the groups
// 8-4-4-4-12.
std::u16string newGuidText() {
  os::Result<std::array<std::uint8_t, 16>> random = os::randomBytes();
  if (!random.ok()) throwOSError(u"UuidToString", random.code(), VCONTEXT("VGUID::toString"));
  std::array<std::uint8_t, 16> b = random.value();
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40); // version 4
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80); // the standard variant
  std::u16string text;
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += u'-';
    text += formatString(u"%02x", static_cast<unsigned>(b[i]));
  }
  return text;
}

} // namespace

void VFile::open(const std::u16string& path, std::uint32_t access, std::uint32_t shareMode,
                 std::uint32_t disposition, std::uint32_t flags) {
  // A safe link in the last component is followed unless the caller opens the link itself.
  const os::Root::Last last = (flags & os::FILE_FLAG_OPEN_REPARSE_POINT)
                                  ? os::Root::Last::asIs
                                  : os::Root::Last::followSafeLink;
  std::u16string name;
  os::Result<os::Root> parent = os::Root::openParent(path, name, last);
  os::Result<os::Handle> file =
      parent.ok() ? os::openFile(parent.value(), name, access, shareMode, disposition, flags)
                  : os::Result<os::Handle>::failure(parent.code());
  if (!file.ok()) throwOSError(u"Open file '" + path + u"'", file.code(), VCONTEXT("VFile::open"));
  handle_ = RunTime::AutoHandle(std::move(file.value()));
  path_ = path;
}

std::uint32_t VFile::read(void* buffer, std::uint32_t count) {
  os::Result<std::size_t> n = os::readFile(native(), buffer, count);
  if (!n.ok()) throwOSError(u"Read from file '" + path_ + u"'", n.code(), VCONTEXT("VFile::read"));
  return static_cast<std::uint32_t>(n.value());
}

std::string VFile::readAll() {
  std::string data;
  char block[1024];
  while (std::uint32_t n = read(block, sizeof block)) data.append(block, n);
  return data;
}

std::string VFile::readAll(const std::u16string& path) {
  VFile file;
  file.open(path, os::GENERIC_READ, os::FILE_SHARE_READ, os::OPEN_EXISTING,
            os::FILE_ATTRIBUTE_NORMAL);
  return file.readAll();
}

std::uint32_t VFile::seek(std::int32_t distance, std::int32_t* distanceHigh,
                          std::uint32_t method) {
  const std::uint64_t high = distanceHigh ? static_cast<std::uint32_t>(*distanceHigh) : 0;
  const std::int64_t move =
      distanceHigh ? static_cast<std::int64_t>(high << 32 | static_cast<std::uint32_t>(distance))
                   : distance;
  os::Result<std::uint64_t> position = os::seekFile(native(), move, method);
  if (!position.ok())
    throwOSError(u"Unable seek in file '" + path_ + u"'", position.code(), VCONTEXT("VFile::seek"));
  if (distanceHigh) *distanceHigh = static_cast<std::int32_t>(position.value() >> 32);
  return static_cast<std::uint32_t>(position.value());
}

std::uint32_t VFile::write(const void* buffer, std::uint32_t count, bool mustBeComplete) {
  os::Result<std::size_t> n = os::writeFile(native(), buffer, count);
  if (!n.ok()) throwOSError(u"Write to file '" + path_ + u"'", n.code(), VCONTEXT("VFile::write"));
  if (mustBeComplete && n.value() < count)
    throw vexception(formatString(u"Unable to write %d bytes into file '%s'", count, path_),
                     VCONTEXT("VFile::write"));
  return static_cast<std::uint32_t>(n.value());
}

std::u16string VFile::temporaryFileName() {
  const std::u16string prefix = newGuidText();
  std::u16string root;
  if (registry::lookup(registry::HKEY_LOCAL_MACHINE, registry::PRODUCT_CONFIG_KEY,
                       u"PRODUCT_ROOT_D", root, registry::VIEW_32) == os::err::success) {
    const std::u16string privateTemp = VFileName::combine(root, u"PrivateTemp");
    bool isFile = true;
    if (VDirectory::exists(privateTemp, &isFile) && !isFile)
      return tempFileName(privateTemp, prefix);
  }
  return tempFileName(tempPath(), prefix);
}

std::u16string tempPath() {
  const std::u16string path = os::tempDirectory();
  if (!VDirectory::exists(path)) VDirectory::createDirectory(path, os::DirectoryAccess::everyone);
  return path;
}

std::u16string tempFileName(const std::u16string& directory, const std::u16string& prefix) {
  os::Result<std::u16string> name =
      os::createTempFile(VFileName::longPath(directory), prefix);
  if (!name.ok())
    throwOSError(u"GetTempFileName in " + directory, name.code(), VCONTEXT("tempFileName"));
  return VFileName::appendSlash(directory) + name.value();
}
