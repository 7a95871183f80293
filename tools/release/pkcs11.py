"""Whether a token will sign with the key that a pkcs11: URI names: its PKCS#11 module loads, the
token takes the PIN, and the key is in it. Asked once, before anything signs, so that a wrong PIN
is tried once and named for what it is, without reading any tool's error text."""
import subprocess
import sys
import urllib.parse

import PyKCS11
from PyKCS11 import PyKCS11Error

# What a URI may name of a token, by the field of its token information (blank-padded there).
TOKEN_FIELDS = {"token": "label", "manufacturer": "manufacturerID", "model": "model",
                "serial": "serialNumber"}
PIN_REFUSED = {PyKCS11.CKR_PIN_INCORRECT, PyKCS11.CKR_PIN_INVALID, PyKCS11.CKR_PIN_LEN_RANGE,
               PyKCS11.CKR_PIN_EXPIRED, PyKCS11.CKR_PIN_LOCKED}
# What stands in the way of signing, by the exit status of this file as a command.
PROBLEMS = (None, "module", "pin", "key")


def attributes(uri):
    """The path attributes of a pkcs11: URI (RFC 7512), decoded."""
    path = uri.removeprefix("pkcs11:").split("?")[0]
    return {key: urllib.parse.unquote_to_bytes(value)
            for key, _, value in (part.partition("=") for part in path.split(";"))
            if key}


def problem(module, uri, pin):
    """What stands in the way of signing: "module", "pin" or "key"; or None. Asked of a child
    process whose standard output is this one's standard error, as PyKCS11 writes there why a
    module does not load; and a module that crashes it does not load either."""
    status = subprocess.run([sys.executable, "-B", __file__, module, uri], input=pin,
                            stdout=sys.stderr, check=False).returncode
    return PROBLEMS[status] if status in range(len(PROBLEMS)) else "module"


def _problem(module, uri, pin):
    library = PyKCS11.PyKCS11Lib()
    try:
        library.load(module)
        slots = library.getSlotList(tokenPresent=True)
    except PyKCS11Error:
        return "module"
    wanted = attributes(uri)
    for slot in slots:
        found = _slot_problem(library, slot, wanted, pin)
        if found != "key":  # so that no other token is tried with the PIN
            return found
    return "key"


def _slot_problem(library, slot, wanted, pin):
    """"pin" where the token in SLOT is one that the URI names and it refuses the PIN, None where
    it holds the key, else "key". The session ends with the child process."""
    template = [(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY)]
    if "object" in wanted:  # PyKCS11 takes a label as text
        template.append((PyKCS11.CKA_LABEL, wanted["object"].decode("utf-8", "replace")))
    if "id" in wanted:
        template.append((PyKCS11.CKA_ID, wanted["id"]))
    try:
        info = library.getTokenInfo(slot)
        if any(getattr(info, field).rstrip(" ").encode("utf-8", "surrogateescape") != wanted[name]
               for name, field in TOKEN_FIELDS.items() if name in wanted):
            return "key"
        session = library.openSession(slot)
        session.login(pin)
        return None if session.findObjects(template) else "key"
    except PyKCS11Error as error:
        return "pin" if error.value in PIN_REFUSED else "key"


if __name__ == "__main__":
    sys.exit(PROBLEMS.index(_problem(sys.argv[1], sys.argv[2], sys.stdin.buffer.read())))
