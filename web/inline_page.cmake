# Puts the two builds of the page's module, each one JavaScript file with its
# WebAssembly inside, and the worker that runs them into the page: one file
# that needs nothing else.
#   cmake -DTEMPLATE=... -DPLAIN=... -DSIMD=... -DWORKER=... -DOUTPUT=... -P inline_page.cmake
file(READ ${TEMPLATE} page)
file(READ ${PLAIN} plain)
file(READ ${SIMD} simd)
file(READ ${WORKER} worker)
string(REPLACE "@FRENNICK_PLAIN_JS@" "${plain}" page "${page}")
string(REPLACE "@FRENNICK_SIMD_JS@" "${simd}" page "${page}")
string(REPLACE "@FRENNICK_WORKER_JS@" "${worker}" page "${page}")
file(WRITE ${OUTPUT} "${page}")
