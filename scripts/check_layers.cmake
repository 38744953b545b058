# A layer's sources must find the headers of their own layer and of the layers
# below it, and nothing of a layer above or beside it.
#   cmake -DLAYER=name -DDIRS=dir|dir|... -DSEES=path|... -DBLIND=path|... -P check_layers.cmake
# DIRS is the layer's include path; SEES and BLIND are header paths or folders
# as the sources spell them (sdk/xml, kalax/zxxml.h).
string(REPLACE "|" ";" dirs "${DIRS}")
string(REPLACE "|" ";" sees "${SEES}")
string(REPLACE "|" ";" blind "${BLIND}")
foreach(path ${sees})
  set(found OFF)
  foreach(dir ${dirs})
    if(EXISTS ${dir}/${path})
      set(found ON)
    endif()
  endforeach()
  if(NOT found)
    message(SEND_ERROR "${LAYER} does not see ${path}")
  endif()
endforeach()
foreach(path ${blind})
  foreach(dir ${dirs})
    if(EXISTS ${dir}/${path})
      message(SEND_ERROR "${LAYER} sees ${path} through ${dir}")
    endif()
  endforeach()
endforeach()
list(LENGTH dirs n)
message(STATUS "${LAYER}: ${n} include directories, layering holds")
