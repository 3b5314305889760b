# Copies IN to OUT with CR LF line ends (cmake -DIN=... -DOUT=... -P crlf.cmake).
#
# windmc ends each message line in the table with the line end it reads, and
# the event viewer expects CR LF; the source keeps the repository's LF.
file(READ "${IN}" content)
string(REPLACE "\r\n" "\n" content "${content}")
string(REPLACE "\n" "\r\n" content "${content}")
file(WRITE "${OUT}" "${content}")
