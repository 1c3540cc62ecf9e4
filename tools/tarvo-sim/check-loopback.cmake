# Runs tarvo-sim's default run and checks it as a user would read it: exit code 0, the
# baud-rate request decoded as the chip took it, the message on the wire and back, the
# quiet polls folded, and a clean shutdown.
#   cmake -DTARVO_SIM=<path> -P check-loopback.cmake
execute_process(COMMAND ${TARVO_SIM} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
message("${out}${err}")
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "tarvo-sim exited with ${rc}")
endif()
set(message "\"Hello from the simulated PC over COM channel A\"")
set(expected
    "SET_BAUD_RATE channel A: divisor 0x001A/0x0000 = 26 -> 115,384.6 baud"
    "SET_DATA channel A: 8N1, break off"
    "MODEM_CTRL channel A: DTR on"
    "MODEM_CTRL channel A: RTS on"
    "ep 02 OUT  46 bytes ${message}"
    "ep 81 IN  1 packet: modem 0xB1 (CTS DSR DCD) line 0x60 (THRE TEMT), 46 bytes ${message}"
    "46 read (done at"
    "the message came back intact: it matches"
    "status-only packets through"
    "simulated PC shut down: 0 problem(s) reported")
foreach(text IN LISTS expected)
    string(FIND "${out}" "${text}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "the output lacks: ${text}")
    endif()
endforeach()
