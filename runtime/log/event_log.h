// The event log sink: messages go to the host's system log under the executable's name, after
// the source has been registered in the registry store as the panel's event log expects.
#pragma once

#include <mutex>
#include <string>

class EventLog {
public:
  // Reports a message of a log level; registers the source first when needed. Throws when the
  // registration fails. Safe to call from several threads.
  void report(int level, const std::u16string& text);

private:
  void registerSource();

  std::mutex mutex_;
  std::u16string source_;
  bool registered_ = false;
};
