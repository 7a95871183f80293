"""Whether a token will sign with the key that a pkcs11: URI names, asked once before anything
signs, so that a wrong PIN is tried once and named for what it is."""
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
FOUND, MODULE, PIN, KEY = range(4)
PROBLEMS = ("", "the PKCS#11 module '{module}' does not load",
            "the token refused the PIN for '{uri}'",
            "no key at '{uri}' in the tokens that '{module}' reaches")


def problem(module, uri, pin):
    """What stands in the way of signing, or "". Asked of a child process, as a module may crash
    it; its output, PyKCS11's of why a module does not load, goes to standard error."""
    status = subprocess.run([sys.executable, "-B", __file__, module, uri], input=pin,
                            stdout=sys.stderr, check=False).returncode
    text = PROBLEMS[status] if status in range(len(PROBLEMS)) else PROBLEMS[MODULE]
    return text.format(module=module, uri=uri)


def _status(module, uri, pin):
    library = PyKCS11.PyKCS11Lib()
    try:
        library.load(module)
        slots = library.getSlotList(tokenPresent=True)
    except PyKCS11Error:
        return MODULE
    path = uri.removeprefix("pkcs11:").split("?")[0]  # RFC 7512's path attributes, decoded
    wanted = {name: urllib.parse.unquote_to_bytes(value)
              for name, _, value in (part.partition("=") for part in path.split(";")) if name}
    template = [(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY)]
    if "object" in wanted:  # PyKCS11 takes a label as text
        template.append((PyKCS11.CKA_LABEL, wanted["object"].decode("utf-8", "replace")))
    if "id" in wanted:
        template.append((PyKCS11.CKA_ID, wanted["id"]))
    for slot in slots:  # each session ends with this process
        try:
            info = library.getTokenInfo(slot)
            if any(getattr(info, field).rstrip(" ").encode("utf-8", "surrogateescape")
                   != wanted[name] for name, field in TOKEN_FIELDS.items() if name in wanted):
                continue
            session = library.openSession(slot)
            session.login(pin)
            if session.findObjects(template):
                return FOUND
        except PyKCS11Error as error:
            if error.value in PIN_REFUSED:  # so that no other token is tried with the PIN
                return PIN
    return KEY


if __name__ == "__main__":
    sys.exit(_status(sys.argv[1], sys.argv[2], sys.stdin.buffer.read()))
