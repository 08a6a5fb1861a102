# The places outside the repository that the tools share; sourced, not run.
#
# ZIRI_ROOT         the dev root, on the host (DEVROOT_DIR moves it)
# ZIRI_ROOT_SEEN    the prefix under which the host sees the root's files:
#                   the root, or nothing when DEVROOT=native runs commands on
#                   the host itself
# ZIRI_NPM          the pinned npm MCP servers, inside the root
# ZIRI_NPM_BIN      their commands
# ZIRI_FT_PREFIX    the free-threaded CPython 3.14t, inside the root
# ZIRI_FT_TSAN_PREFIX  its ThreadSanitizer build, inside the root
ZIRI_ROOT=${DEVROOT_DIR:-/opt/dive-ziri-devroot}
ZIRI_ROOT_SEEN=$ZIRI_ROOT
[[ ${DEVROOT:-} == native ]] && ZIRI_ROOT_SEEN=
ZIRI_NPM=/opt/dive-ziri-npm
ZIRI_NPM_BIN=$ZIRI_NPM/node_modules/.bin
ZIRI_FT_PREFIX=/opt/cpython-3.14t
ZIRI_FT_TSAN_PREFIX=/opt/cpython-3.14t-tsan
