#!/usr/bin/env bash
# Fails when a catch-all handler in the sources could swallow a thread's cancellation: a
# cancelled thread whose ThreadCanceled is dropped keeps running. A `catch (...)` passes when its
# body throws on (`throw;`) or keeps the exception to throw later (`std::current_exception()`,
# across a C library's frames), or when a handler of ThreadCanceled comes before it in the same
# try statement. tests/, bench/ and fuzz/ are not scanned, nor build trees and hidden directories.
#   tools/check_cancelation.sh [source root]     (default: the repository this script is in)
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

# A tree without sources is a mistake in the call, not a clean tree.
mapfile -d '' sources < <(find . -mindepth 1 \( -name 'build*' -o -name '.*' -o -path ./tests \
  -o -path ./bench -o -path ./fuzz \) -prune -o -type f \( -name '*.cpp' -o -name '*.h' \) -print0)
((${#sources[@]})) || { echo "no sources found below $root" >&2; exit 2; }

perl -e '
  my $bad = 0;
  for my $file (@ARGV) {
    open(my $in, "<", $file) or die "cannot read $file: $!\n";
    my $text = do { local $/; <$in> };
    my $at = -1;
    while (($at = index($text, "catch (...)", $at + 1)) >= 0) {
      # The handler body, up to its closing brace.
      my $open = index($text, "{", $at);
      my ($close, $depth) = ($open, 0);
      for (; $close < length($text); ++$close) {
        my $c = substr($text, $close, 1);
        $depth += $c eq "{" ? 1 : $c eq "}" ? -1 : 0;
        last if $depth == 0;
      }
      my $body = substr($text, $open, $close - $open);
      next if index($body, "throw;") >= 0 || index($body, "std::current_exception()") >= 0;
      # The handlers before it in the same try statement.
      my $try = rindex($text, "try {", $at);
      next if $try >= 0 && index(substr($text, $try, $at - $try), "ThreadCanceled&)") >= 0;
      my $line = 1 + (substr($text, 0, $at) =~ tr/\n//);
      (my $name = $file) =~ s{^\./}{};
      print "$name:$line: catch (...) may swallow ThreadCanceled\n";
      $bad = 1;
    }
  }
  exit $bad;
' "${sources[@]}"
