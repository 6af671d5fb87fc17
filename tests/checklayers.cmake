# Fails when an include climbs against the layers: the engine and the command line reach
# nothing of the window or of Qt's Gui and Widgets modules, and inside the engine each room
# includes only the rooms beneath it.
#
#   engine (run, job, worker, preview) -> match -> text -> base
#                                     -> durable ---------> base, files
set(allowed_engine "engine/|files/")
set(allowed_match "engine/(match|text|base)/")
set(allowed_text "engine/(text|base)/")
set(allowed_durable "engine/(durable|base)/|files/")
set(allowed_base "engine/base/")
set(allowed_files "files/")
set(allowed_workbook "workbook/|engine/|files/")
set(allowed_cli "cli/|workbook/|engine/|files/")

set(violations "")
file(GLOB_RECURSE sources RELATIVE "${SOURCE_DIR}"
    "${SOURCE_DIR}/engine/*.h" "${SOURCE_DIR}/engine/*.cpp"
    "${SOURCE_DIR}/files/*.h" "${SOURCE_DIR}/files/*.cpp"
    "${SOURCE_DIR}/workbook/*.h" "${SOURCE_DIR}/workbook/*.cpp"
    "${SOURCE_DIR}/cli/*.h" "${SOURCE_DIR}/cli/*.cpp")
foreach(source IN LISTS sources)
    if(source MATCHES "^engine/(match|text|durable|base)/")
        set(layer ${CMAKE_MATCH_1})
    else()
        string(REGEX REPLACE "/.*" "" layer "${source}")
    endif()
    file(STRINGS "${SOURCE_DIR}/${source}" includes REGEX "^#include")
    foreach(line IN LISTS includes)
        if(line MATCHES "\"(app|widgets)/|ui_|<Qt(Gui|Widgets)|<Q(Widget|Application|Painter|Color|Font|Image|Icon)[>.]")
            list(APPEND violations "${source}: ${line} (the window)")
        elseif(line MATCHES "#include \"([a-z]+/[^\"]*)\"")
            set(target "${CMAKE_MATCH_1}")
            if(NOT target MATCHES "^(${allowed_${layer}})")
                list(APPEND violations "${source}: ${line} (climbs out of ${layer})")
            endif()
        endif()
    endforeach()
endforeach()
if(violations)
    list(JOIN violations "\n" message)
    message(FATAL_ERROR "Includes against the layers:\n${message}")
endif()
