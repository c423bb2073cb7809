# The time a build of this tree stands for, in seconds since 1970: it dates
# the files in the packages and a changelog entry made for a version given at
# build time, so that two builds of one commit give the same packages.
# SOURCE_DATE_EPOCH from the environment when set (as Debian's tools set it),
# else the time of the last commit, else the date of the changelog's latest
# entry (a tree without its history).

# The version and the time of the latest entry of a Debian changelog.
function(calyx_changelog_top file version_var epoch_var)
  file(STRINGS ${file} top LIMIT_COUNT 1 REGEX "^[a-z0-9][a-z0-9.+-]* \\(")
  string(REGEX REPLACE "^[^(]*\\(([^)]*)\\).*$" "\\1" version "${top}")
  file(STRINGS ${file} trailer LIMIT_COUNT 1 REGEX "^ -- .*>  ")
  string(REGEX REPLACE "^.*>  " "" date "${trailer}")
  execute_process(COMMAND date -u -d "${date}" +%s OUTPUT_VARIABLE epoch
                  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(version STREQUAL "" OR NOT status EQUAL 0)
    message(FATAL_ERROR "${file}: no version or date in its latest entry")
  endif()
  set(${version_var} ${version} PARENT_SCOPE)
  set(${epoch_var} ${epoch} PARENT_SCOPE)
endfunction()

function(calyx_source_date_epoch out source_dir)
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  if(NOT epoch MATCHES "^[0-9]+$")
    execute_process(COMMAND git -C ${source_dir} log -1 --format=%ct
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT epoch MATCHES "^[0-9]+$")
    calyx_changelog_top(${source_dir}/packaging/changelog version epoch)
  endif()
  set(${out} ${epoch} PARENT_SCOPE)
endfunction()
