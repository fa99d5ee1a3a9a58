// Installing an application into a site: the package copied as the site's user, and the
// package's writable and PHP-denied directories granted to (or denied for) the site's worker
// group through the site's security manager.
#pragma once

#include <string>

#include "siteapp/mapping_walk.h"

class SiteApplicationManager;

// Checks that the application's repository directory is a directory holding "APP-META.xml"
// ("Application directory <path> doesn't exist in repository", "Unable to find APP-META.xml:
// <path>"), then walks the caller's metadata file with content copying while the thread acts as
// the site's user, so that everything made below the site directory is the user's; finally
// applies the permission map. Missing target directories are made, the web root and those above
// it included, only where a mapping has content. A failure of the walk removes the directories
// it made and applies no entries.
void extractApplication(const SiteApplicationManager& manager, const std::u16string& metadataFile);

// Walks the metadata file without copying, as the site's user (missing target directories are
// made, the user's), and applies the permission map. A missing metadata file or repository "APP-META.xml" is a
// warning in the log and no failure.
void updateApplicationPermissions(const SiteApplicationManager& manager, const std::u16string& metadataFile);

// One access entry for the worker group per map entry (all access rights, inherited by files and
// subdirectories; "php-disabled" denies, the others allow), each logged, then one complete commit
// below the site directory. An empty map makes no security manager and touches no metadata.
void applyPermissionMap(const SiteApplicationManager& manager, const PermissionMap& permissions);
