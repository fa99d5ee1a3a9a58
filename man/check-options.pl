#!/usr/bin/perl
# Checks that tavrix(8) names every command and option the tool accepts: each literal u"-x" or
# u"--name" in the sources of the command frame must appear in the page's source as a whole word.
# Usage: check-options.pl APP_SOURCE_DIR PAGE_SOURCE
use strict;
use warnings;

my ($dir, $page) = @ARGV;
die "usage: $0 APP_SOURCE_DIR PAGE_SOURCE\n" unless defined $page;

my %accepted;    # option => the file that names it
for my $source (glob("$dir/*.cpp $dir/*.h")) {
  open(my $in, '<', $source) or die "$source: $!\n";
  while (my $line = <$in>) {
    $accepted{$1} //= $source while $line =~ /\bu"(--?[A-Za-z][A-Za-z0-9-]*)"/g;
  }
  close $in;
}
# No option found means the frame changed shape, not that the page is complete.
die "no option literal found in $dir\n" unless %accepted;

open(my $in, '<:encoding(UTF-8)', $page) or die "$page: $!\n";
my $text = do { local $/; <$in> };
close $in;

my @missing = grep { $text !~ /(?<![\w-])\Q$_\E(?![\w-])/ } sort keys %accepted;
print "$_ (from $accepted{$_}) is not in $page\n" for @missing;
exit(@missing ? 1 : 0);
