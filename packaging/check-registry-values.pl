#!/usr/bin/perl
# Checks that the operator's registry file documents every value the code reads: each value name
# written as a literal where the code reads a value (see $readers below) must appear as "name" in
# the file, commented or not.
# A literal joined to other text ("log_" + name + "_enabled") is not a whole name and is left
# out. Usage: check-registry-values.pl SOURCE_ROOT REGISTRY_FILE
use strict;
use warnings;
use File::Find;

my ($root, $file) = @ARGV;
die "usage: $0 SOURCE_ROOT REGISTRY_FILE\n" unless defined $file;

open(my $in, '<:encoding(UTF-8)', $file) or die "$file: $!\n";
my %documented;
while (my $line = <$in>) {
  $documented{$1} = 1 while $line =~ /"([^"]+)"\s*=/g;
}
close $in;

# The calls that take a value name: the registry layer's reads, the helpers that wrap them, the
# management service's string query, the pipe name lookup and the services' entry (which names
# their allow-list values). A value name kept in a constant is a *_VALUE constant.
my $readers = join('|', qw(lookup get getString getstr productDword queryValue registryPath
                           getPackageValue pipeNameOf serviceMain sandboxDword appendPaths));
my %read;    # value name => first place it is read
my $skip = qr{^\Q$root\E/(?:tests|fuzz|bench|build[^/]*)/};
find(
  sub {
    return unless /\.(?:cpp|h)$/;
    my $path = $File::Find::name;
    return if $path =~ $skip;
    open(my $source, '<', $_) or die "$path: $!\n";
    my $text = do { local $/; <$source> };
    close $source;
    my @uses;
    push @uses, $1 while $text =~ /\b(?:$readers)\s*(\((?:[^()]++|(?1))*\))/g;
    push @uses, $1 while $text =~ /\b\w+_VALUE\s*=\s*(u"[^"]*")/g;
    for my $call (@uses) {
      while ($call =~ /(\+\s*)?u"([A-Za-z_][A-Za-z0-9_]*)"(\s*\+)?/g) {
        my ($joinedBefore, $name, $joinedAfter) = ($1, $2, $3);
        next if defined $joinedBefore || defined $joinedAfter;
        $read{$name} //= $path =~ s{^\Q$root\E/}{}r;
      }
    }
  },
  $root);

die "no registry read found below $root\n" unless %read;
my @missing = grep { !$documented{$_} } sort keys %read;
print "\"$_\" (read in $read{$_}) is not in $file\n" for @missing;
print "read: ", join(" ", sort keys %read), "\n";
printf "%d value names read, %d missing from %s\n", scalar(keys %read), scalar(@missing), $file;
exit(@missing ? 1 : 0);
