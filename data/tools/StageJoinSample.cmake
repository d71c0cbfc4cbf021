# cmake -DFROM=folder -DTO=folder -DFINAL=folder -DLIST=name -P StageJoinSample.cmake
# Copies the piece set listed by FROM/LIST into TO, the list rewritten to name each
# piece in FINAL, where the install puts it. The list keeps its CR LF line ends.
foreach(variable FROM TO FINAL LIST)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "StageJoinSample: ${variable} is not set")
    endif()
endforeach()

file(REMOVE_RECURSE "${TO}")
file(MAKE_DIRECTORY "${TO}")
file(READ "${FROM}/${LIST}" text)
string(REGEX MATCHALL "[^\r\n]+" lines "${text}")
if(NOT lines)
    message(FATAL_ERROR "StageJoinSample: ${FROM}/${LIST} lists no piece")
endif()
set(staged "")
foreach(line IN LISTS lines)
    string(REGEX REPLACE "^.*/" "" name "${line}")
    file(COPY "${FROM}/${name}" DESTINATION "${TO}")
    string(APPEND staged "${FINAL}/${name}\r\n")
endforeach()
file(WRITE "${TO}/${LIST}" "${staged}")
