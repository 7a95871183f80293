"""Whether a token will sign with the key that a pkcs11: URI names: its PKCS#11 module loads, the
token takes the PIN, and the key is in it. Asked once, before anything signs, so that a wrong PIN
is tried once and named for what it is, without reading any tool's error text."""
import ctypes
import urllib.parse

# The functions of a CK_FUNCTION_LIST, in its order, up to those used here.
_NAMES = ("Initialize Finalize GetInfo GetFunctionList GetSlotList "
          "GetSlotInfo GetTokenInfo GetMechanismList GetMechanismInfo "
          "InitToken InitPIN SetPIN OpenSession CloseSession "
          "CloseAllSessions GetSessionInfo GetOperationState "
          "SetOperationState Login Logout CreateObject CopyObject "
          "DestroyObject GetObjectSize GetAttributeValue SetAttributeValue "
          "FindObjectsInit FindObjects FindObjectsFinal").split()
# CKR_PIN_INCORRECT, _INVALID, _LEN_RANGE, _EXPIRED and _LOCKED.
_PIN_REFUSED = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4}
# Where CK_TOKEN_INFO holds what a URI may name, blank-padded.
_TOKEN_FIELDS = {"token": (0, 32), "manufacturer": (32, 64),
                 "model": (64, 80), "serial": (80, 96)}


class _Functions(ctypes.Structure):
    _fields_ = [("version", ctypes.c_ubyte * 2)] + [(n, ctypes.c_void_p) for n in _NAMES]


class _Attribute(ctypes.Structure):
    _fields_ = [("type", ctypes.c_ulong), ("value", ctypes.c_void_p),
                ("length", ctypes.c_ulong)]


def attributes(uri):
    """The path attributes of a pkcs11: URI (RFC 7512), decoded."""
    path = uri.removeprefix("pkcs11:").split("?")[0]
    return {key: urllib.parse.unquote_to_bytes(value)
            for key, _, value in (part.partition("=") for part in path.split(";"))
            if key}


def problem(module, uri, pin):
    """What stands in the way of signing: "module", "pin" or "key"; or None."""
    try:
        get_list = ctypes.CDLL(module).C_GetFunctionList
    except (OSError, AttributeError):
        return "module"
    table = ctypes.POINTER(_Functions)()
    if get_list(ctypes.byref(table)) != 0:
        return "module"

    def call(function, *arguments):
        # Every argument of these is as wide as a pointer on this ABI.
        kind = ctypes.CFUNCTYPE(ctypes.c_ulong, *[ctypes.c_void_p] * len(arguments))
        return kind(getattr(table.contents, function))(*arguments)

    if call("Initialize", None) not in (0, 0x191):  # or already initialised
        return "module"
    wanted = attributes(uri)
    try:
        count = ctypes.c_ulong()
        call("GetSlotList", 1, None, ctypes.byref(count))
        slots = (ctypes.c_ulong * max(count.value, 1))()
        call("GetSlotList", 1, slots, ctypes.byref(count))
        for slot in slots[:count.value]:
            info = ctypes.create_string_buffer(512)
            if call("GetTokenInfo", slot, info) != 0 or any(
                    info.raw[start:end].rstrip(b" ") != wanted[field]
                    for field, (start, end) in _TOKEN_FIELDS.items() if field in wanted):
                continue
            session = ctypes.c_ulong()
            if call("OpenSession", slot, 4, None, None, ctypes.byref(session)) != 0:
                continue
            try:
                if call("Login", session.value, 1, pin, len(pin)) in _PIN_REFUSED:
                    return "pin"
                if _holds_key(call, session.value, wanted):
                    return None
            finally:
                call("CloseSession", session.value)
        return "key"
    finally:
        call("Finalize", None)


def _holds_key(call, session, wanted):
    values = [(0, ctypes.c_ulong(3))]  # CKA_CLASS: CKO_PRIVATE_KEY
    for key, kind in (("object", 3), ("id", 0x102)):  # CKA_LABEL, CKA_ID
        if key in wanted:
            values.append((kind, ctypes.create_string_buffer(wanted[key], len(wanted[key]))))
    template = (_Attribute * len(values))(*[
        _Attribute(kind, ctypes.cast(ctypes.pointer(value), ctypes.c_void_p),
                   ctypes.sizeof(value)) for kind, value in values])
    if call("FindObjectsInit", session, template, len(values)) != 0:
        return False
    handle, found = ctypes.c_ulong(), ctypes.c_ulong()
    call("FindObjects", session, ctypes.byref(handle), 1, ctypes.byref(found))
    call("FindObjectsFinal", session)
    return found.value > 0
