#pragma once

// The service's web site. The host name is fixed when the build is configured.
#ifndef TOLVANE_SITE_HOST
# error "TOLVANE_SITE_HOST must be defined by the build"
#endif

constexpr const char siteHost[] = TOLVANE_SITE_HOST;
constexpr const char siteRootUrl[] = "https://" TOLVANE_SITE_HOST "/";
constexpr const char restBaseUrl[] = "https://" TOLVANE_SITE_HOST "/?rest_route=/brv-tolvane/v1/";
