# cmake -DIN=a -DOUT=b -P crlf.cmake: copies a text file with Windows line ends.
file(READ ${IN} _text)
string(REPLACE "\r\n" "\n" _text "${_text}")
string(REPLACE "\n" "\r\n" _text "${_text}")
file(WRITE ${OUT} "${_text}")
