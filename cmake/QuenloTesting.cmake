# quenlo_add_test(<name> SOURCES <files...> [LIBS <targets...>] [ENVIRONMENT <VAR=value...>]
#                 [TIMEOUT <seconds>] [LABELS <labels...>])
# One Qt Test executable, registered with ctest. Widgets render off screen unless the
# test sets QT_QPA_PLATFORM itself; each test gets a private HOME so nothing it writes
# (documents, settings, recordings) touches the real user's files.
function(quenlo_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;ENVIRONMENT;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test quenlo_options ${ARG_LIBS})
    add_test(NAME ${name} COMMAND ${name})
    set(home "${CMAKE_CURRENT_BINARY_DIR}/${name}.home")
    file(MAKE_DIRECTORY "${home}")
    set(env "HOME=${home}" "XDG_CONFIG_HOME=${home}/.config" "XDG_DATA_HOME=${home}/.local/share"
            "XDG_CACHE_HOME=${home}/.cache" "XDG_CONFIG_DIRS=" ${ARG_ENVIRONMENT})
    if(QUENLO_SANITIZE)
        # Full stacks, so whisper.cpp's own leak is matched by its loader frame only.
        list(APPEND env "ASAN_OPTIONS=fast_unwind_on_malloc=0"
                        "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan-whisper.supp")
    endif()
    if(NOT "${ARG_ENVIRONMENT}" MATCHES "QT_QPA_PLATFORM=")
        list(APPEND env "QT_QPA_PLATFORM=offscreen")
    endif()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}" TIMEOUT ${ARG_TIMEOUT})
    if(ARG_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
    endif()
endfunction()

# Runs test `name` once more, on PipeWire's PulseAudio server, which many desktops run
# instead of PulseAudio (tests/support/private-pulse.sh starts either). It runs as in most
# containers, where no login manager runs: with an empty /run/systemd of its own (a mount
# namespace, so as root, as the tests run).
function(quenlo_add_pipewire_variant name)
    add_test(NAME ${name}_pipewire COMMAND unshare --mount sh -c
        "[ ! -d /run/systemd ] || mount -t tmpfs -o size=64k no-login-manager /run/systemd && exec \"$0\""
        $<TARGET_FILE:${name}>)
    get_test_property(${name} ENVIRONMENT env)
    get_test_property(${name} TIMEOUT timeout)
    set_tests_properties(${name}_pipewire PROPERTIES
        ENVIRONMENT "${env};QUENLO_TEST_SOUND_SERVER=pipewire" TIMEOUT ${timeout})
endfunction()
