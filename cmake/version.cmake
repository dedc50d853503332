# The package's version comes from project(VERSION); the top entry of
# CHANGELOG.md must name the same version, and its date becomes the INF's
# DriverVer date. Sets TZ_VERSION_QUAD (1.0.0.0), TZ_VERSION_COMMAS (1,0,0,0),
# TZ_RELEASE_DATE_INF (MM/DD/YYYY) and TZ_RELEASE_YEAR.
file(STRINGS ${CMAKE_SOURCE_DIR}/CHANGELOG.md tz_changelog_heads REGEX "^## [0-9]")
list(GET tz_changelog_heads 0 tz_top)
if(NOT tz_top MATCHES "^## ([0-9]+\\.[0-9]+\\.[0-9]+) \\(([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])\\)$")
  message(FATAL_ERROR "CHANGELOG.md: the top entry must read '## X.Y.Z (YYYY-MM-DD)', not '${tz_top}'")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "CHANGELOG.md's top entry is ${CMAKE_MATCH_1}, project(VERSION) is ${PROJECT_VERSION}")
endif()
set(TZ_RELEASE_YEAR ${CMAKE_MATCH_2})
set(TZ_RELEASE_DATE_INF "${CMAKE_MATCH_3}/${CMAKE_MATCH_4}/${CMAKE_MATCH_2}")
set(TZ_VERSION_QUAD "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
set(TZ_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
