"""What a Python user would write instead of a vault: a bytearray zeroed on wipe and in __del__."""

import ctypes
import hmac


class PlainSecret:
    __slots__ = ("_data",)

    def __init__(self, data):
        self._data = bytearray(data)

    def reveal(self):
        return self._data.decode("utf-8")

    def reveal_bytes(self):
        return bytes(self._data)

    def verify(self, other):
        return hmac.compare_digest(self._data, other)

    def wipe(self):
        if self._data:
            view = (ctypes.c_char * len(self._data)).from_buffer(self._data)
            ctypes.memset(view, 0, len(self._data))
            del view

    def __del__(self):
        self.wipe()

    def __repr__(self):
        return "<PlainSecret: [REDACTED]>"
