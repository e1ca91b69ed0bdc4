# Puts the two builds of the page's module (each one JavaScript file with
# its WebAssembly inside), the Worker that runs them and the page's own
# script into the page: one file that needs nothing else. The Worker and the
# page's script are each made of parts, joined in the order given.
#   cmake -DTEMPLATE=... -DPLAIN=... -DSIMD=... -DWORKER="a.js;b.js"
#         -DPAGE="a.js;b.js" -DOUTPUT=... -P inline_page.cmake
function(join_parts parts out)
  set(joined "")
  foreach(part IN LISTS parts)
    file(READ ${part} text)
    string(APPEND joined "${text}")
  endforeach()
  set(${out} "${joined}" PARENT_SCOPE)
endfunction()

file(READ ${TEMPLATE} page)
file(READ ${PLAIN} plain)
file(READ ${SIMD} simd)
join_parts("${WORKER}" worker)
join_parts("${PAGE}" script)
string(REPLACE "@FRENNICK_PLAIN_JS@" "${plain}" page "${page}")
string(REPLACE "@FRENNICK_SIMD_JS@" "${simd}" page "${page}")
string(REPLACE "@FRENNICK_WORKER_JS@" "${worker}" page "${page}")
string(REPLACE "@FRENNICK_PAGE_JS@" "${script}" page "${page}")
file(WRITE ${OUTPUT} "${page}")
