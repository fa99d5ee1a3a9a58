// Removing an installed application's files: the panel's file list and its removal beneath the
// site directory.
#pragma once

#include <string>
#include <vector>

// The text of every FILE element of the list's SECTION elements whose PREFIX is exactly
// "htdocs", in document order (both levels are the document element's and the section's own
// children; other nodes are passed over). Throws vxmlLoad's vexception for a list that is
// missing or malformed.
std::vector<std::u16string> readDeletionList(const std::u16string& path);

// Removes the entries, each a path relative to the site directory (VFileName::combine of the
// web root and the subdirectory), in order: a directory with everything below it, anything else
// (a link to a directory included) as a file, both forced. What does not exist is passed over.
// Each removal is attempted up to 10 times, 10 ms apart; the last attempt's failure ends the
// operation, with the entries before it removed.
//
// Confinement: before anything is removed the subdirectory is checked against the web root and
// every entry against the site directory ("Path (<entry>) is outside of (<site directory>)";
// an entry that names the site directory itself: "Path (<entry>) names the directory (<site
// directory>) itself"),
// and every entry is looked up beneath the site directory, opened once: an entry that passes
// through a link fails there (fileExist's error, 1921). So a list with one such entry removes
// nothing. A site directory that is missing removes nothing and is no failure.
void deleteApplicationFiles(const std::u16string& wwwRoot, const std::u16string& subdirectory,
                            const std::vector<std::u16string>& entries);
