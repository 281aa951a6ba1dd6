# The release is written down once, in the package's changelog (packaging/changelog, in Debian's
# format): its newest entry gives the version, the date and the maintainer that the build, the
# .deb and the manual page show. Sets hosts_version, hosts_release_date (YYYY-MM-DD) and
# hosts_maintainer ("Name <address>"). Included before project(), which takes the version.
set(hosts_changelog ${CMAKE_CURRENT_LIST_DIR}/../packaging/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${hosts_changelog})

function(hosts_changelog_error what)
  message(FATAL_ERROR "${hosts_changelog}: the newest entry must ${what}")
endfunction()

file(STRINGS ${hosts_changelog} entry_head LIMIT_COUNT 1 REGEX "^hosts-manager \\(")
if(NOT entry_head MATCHES "^hosts-manager \\(([0-9][0-9.]*)\\) ")
  hosts_changelog_error("start with 'hosts-manager (VERSION) ...'")
endif()
set(hosts_version ${CMAKE_MATCH_1})

file(STRINGS ${hosts_changelog} entry_trailer LIMIT_COUNT 1 REGEX "^ -- ")
set(date_pattern "[A-Z][a-z][a-z], ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
if(NOT entry_trailer MATCHES "^ -- ([^<]+ <[^>@]+@[^>]+>)  ${date_pattern}")
  hosts_changelog_error("end with ' -- NAME <ADDRESS>  Day, DD Mon YYYY HH:MM:SS +ZZZZ'")
endif()
set(hosts_maintainer ${CMAKE_MATCH_1})
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND months ${CMAKE_MATCH_3} month)
if(month LESS 0)
  hosts_changelog_error("be dated with an English month's abbreviation, not ${CMAKE_MATCH_3}")
endif()
math(EXPR month "${month} + 1")
if(month LESS 10)
  set(month 0${month})
endif()
set(hosts_release_date ${CMAKE_MATCH_4}-${month}-${CMAKE_MATCH_2})
