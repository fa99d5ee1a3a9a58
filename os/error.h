// Win32 error codes as the rest of the system speaks them, their system messages, and the
// result type of the boundary's functions.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace os {

// Every Win32 error code the system names, once. One row per code:
//   X(name, code, errnos, text, exception)
// - name: the constant os::err::<name>;
// - errnos: the host errors that stand for the code, in parentheses. An errno maps to the
//   first row that lists it; the message of a code is the host text of its first errno;
// - text: our own message for the code (it takes precedence), or nullptr;
// - exception: the vosexception class that throwOSError raises for the code.
// The errno and class columns are tokens only: they are read where the table is expanded
// (os/posix/error.cpp, runtime/core/exception.cpp), never here.
#define TAVRIX_ERROR_TABLE(X)                                                                   \
  X(fileNotFound, 2, (ENOENT, ECONNREFUSED), nullptr, VFileNotFoundException)                  \
  X(pathNotFound, 3, (ENOTDIR), u"The path is not found", VPathNotFoundException)              \
  X(tooManyOpenFiles, 4, (EMFILE, ENFILE), nullptr, vosexception)                              \
  X(accessDenied, 5, (EACCES, EPERM), nullptr, VAccessDeniedException)                         \
  X(invalidHandle, 6, (EBADF), nullptr, VInvalidHandleException)                               \
  X(notEnoughMemory, 8, (ENOMEM), nullptr, vosexception)                                       \
  X(badFormat, 11, (ENOEXEC), nullptr, vosexception)                                           \
  X(outOfMemory, 14, (ENOMEM), nullptr, VOutOfMemoryException)                                 \
  X(invalidDrive, 15, (), u"The drive is not mapped", VInvalidDriveException)                  \
  X(notSameDevice, 17, (EXDEV), nullptr, vosexception)                                         \
  X(noMoreFiles, 18, (), u"There are no more files", vosexception)                             \
  X(writeProtect, 19, (EROFS), nullptr, vosexception)                                          \
  X(notDosDisk, 26, (), nullptr, VNotDosDiskException)                                         \
  X(sharingViolation, 32, (ETXTBSY, EBUSY), u"The file is in use by another process",          \
    VSharingViolationException)                                                                \
  X(lockViolation, 33, (), u"A region of the file is locked by another process",               \
    VLockViolationException)                                                                   \
  X(wrongDisk, 34, (), nullptr, VWrongDiskException)                                           \
  X(sharingBufferExceeded, 36, (), nullptr, VSharingBufferExceededException)                   \
  X(handleEof, 38, (), u"The end of the file is reached", VEOFException)                       \
  X(notSupported, 50, (EOPNOTSUPP, ENOSYS), nullptr, vosexception)                             \
  /* EEXIST means "already exists" unless the caller knows better: this row comes first. */    \
  X(alreadyExists, 183, (EEXIST), u"The object already exists", VAlreadyExistsException)       \
  X(fileExists, 80, (EEXIST), nullptr, VFileExistsException)                                   \
  X(invalidParameter, 87, (EINVAL), nullptr, vosexception)                                     \
  X(brokenPipe, 109, (EPIPE, ECONNRESET), nullptr, vosexception)                               \
  X(diskFull, 112, (ENOSPC, EDQUOT), nullptr, vosexception)                                    \
  X(insufficientBuffer, 122, (ERANGE), nullptr, VInsufficientBufferException)                  \
  X(invalidName, 123, (), u"The file name or path syntax is invalid", VInvalidNameException)   \
  X(procNotFound, 127, (), nullptr, vosexception)                                              \
  X(dirNotEmpty, 145, (ENOTEMPTY), nullptr, VDirectoryNotEmptyException)                       \
  X(badPathName, 161, (), u"The path name is invalid", VInvalidPathException)                  \
  X(filenameExcedRange, 206, (ENAMETOOLONG), nullptr, vosexception)                            \
  X(pipeBusy, 231, (EAGAIN), u"Every instance of the pipe is busy", vosexception)              \
  X(noData, 232, (), u"The pipe is being closed", VPipeClosedException)                        \
  X(pipeNotConnected, 233, (ENOTCONN), u"No process is on the other end of the pipe",          \
    vosexception)                                                                              \
  X(moreData, 234, (EMSGSIZE), u"More data is available than the buffer holds", vosexception)  \
  X(waitTimeout, 258, (), u"The wait timed out", vosexception)                                 \
  X(noMoreItems, 259, (ENODATA), u"There are no more items", vosexception)                     \
  X(directory, 267, (EISDIR), u"The directory name is invalid", VInvalidDirectoryNameException)\
  X(notOwner, 288, (), nullptr, vosexception)                                                  \
  X(untrustedMountPoint, 448, (ENOLINK),                                                       \
    u"The path passes through a link or a directory that another user controls", vosexception)\
  X(operationAborted, 995, (ECANCELED), nullptr, vosexception)                                 \
  X(serviceDoesNotExist, 1060, (), u"The service does not exist", VServiceDoesNotExistException)\
  X(serviceMarkedForDelete, 1072, (), u"The service is marked for deletion",                   \
    VServiceMarkedForDeleteException)                                                          \
  X(serviceExists, 1073, (), u"The service already exists", VServiceAlreadyExistsException)    \
  X(ioDevice, 1117, (EIO), nullptr, vosexception)                                              \
  X(notAllAssigned, 1300, (), nullptr, vosexception)                                           \
  X(noSuchPrivilege, 1313, (), nullptr, vosexception)                                          \
  X(privilegeNotHeld, 1314, (), u"The process does not hold the privilege", vosexception)      \
  X(noneMapped, 1332, (), u"The account name or security identifier is not mapped",            \
    VNoneMappedException)                                                                      \
  X(invalidAcl, 1336, (), nullptr, vosexception)                                               \
  X(invalidSid, 1337, (), nullptr, vosexception)                                               \
  X(invalidSecurityDescriptor, 1338, (), nullptr, vosexception)                                \
  X(allottedSpaceExceeded, 1344, (), nullptr, vosexception)                                    \
  X(noSuchDomain, 1355, (), u"The domain is not known", vosexception)                          \
  X(internalError, 1359, (), u"Internal error", vosexception)                                  \
  X(noSuchMember, 1387, (), u"The member does not exist", VNoSuchMemberException)              \
  X(timeout, 1460, (ETIMEDOUT), nullptr, vosexception)                                         \
  X(badConfiguration, 1610, (), u"The configuration data is malformed", vosexception)          \
  X(trustFailure, 1789, (), u"The trust relationship failed",                                  \
    VTrustedRelationshipFailureException)                                                      \
  X(cantResolveFilename, 1921, (ELOOP), nullptr, vosexception)                                 \
  X(passwordTooShort, 2245, (), u"The password is too short", VPasswordTooShortException)

namespace err {
inline constexpr std::uint32_t success = 0;
#define TAVRIX_ERROR_NAME(name, code, errnos, text, exception) \
  inline constexpr std::uint32_t name = code;
TAVRIX_ERROR_TABLE(TAVRIX_ERROR_NAME)
#undef TAVRIX_ERROR_NAME
// Codes with the customer bit carry an errno that has no Win32 equivalent.
inline constexpr std::uint32_t customerBit = 0x20000000;
} // namespace err

// Why an operation failed: the Win32 code and, where the code alone does not say enough, a
// detail text that the layer above uses as its message (a malformed store names its line).
struct Failure {
  std::uint32_t code = err::internalError;
  std::u16string detail;
};

// A value, or the failure that prevented it. T needs no empty state.
//
// The convention of the boundary: a function that produces a value returns Result<T>; one that
// only acts returns its Win32 code ([[nodiscard]] std::uint32_t, err::success when it worked).
// Helpers inside os/posix follow the same two forms, so errno never travels past the helper
// that saw it.
template <class T>
class [[nodiscard]] Result {
public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}
  static Result failure(std::uint32_t code, std::u16string detail = {}) {
    return Result(Failure{code, std::move(detail)});
  }

  bool ok() const { return state_.index() == 0; }
  std::uint32_t code() const { return ok() ? err::success : std::get<1>(state_).code; }
  // The detail text of a failure; empty on success or when there is none.
  const std::u16string& detail() const {
    static const std::u16string none;
    return ok() ? none : std::get<1>(state_).detail;
  }
  // The failure, to be handed on as the failure of a Result of another type.
  const Failure& error() const { return std::get<1>(state_); }

  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }

private:
  std::variant<T, Failure> state_;
};

// The system's message text for a Win32 error code, without trailing line breaks; empty when
// the system has no text for the code.
std::u16string systemMessage(std::uint32_t code);

} // namespace os
