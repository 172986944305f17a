"""The SAT-CF-e device library (libtivax.so.1) from Python, through ctypes.

    import tivax

    sat = tivax.Tivax()                      # libtivax.so.1, or $TIVAX_LIBRARY
    sat.ConfigurarPortaSerial("/dev/tivax")  # or sat.TivaxlibInit() to discover
    resposta = sat.ConsultarStatusOperacional(123, "12345678")
    print(tivax.campos(resposta))

Every SAT function takes the arguments of the C function of the same name
(integers as int, texts as str, or bytes to pass them unchanged) and returns
the device's answer line as str, or "" for the invalid result (device not
reachable, call refused, answer not matching the request). The string the
library returns is copied and released with DesalocarString before the
method returns, so no memory is left to the caller.

Only the C functions are offered: consultaBloqueio is a C++ function and is
not reachable through ctypes; read ESTADO_OPERACAO (the last field of
ConsultarStatusOperacional) instead.
"""

import ctypes
import os

__all__ = ["Tivax", "campos", "BIBLIOTECA_PADRAO"]

BIBLIOTECA_PADRAO = "libtivax.so.1"

_INT = ctypes.c_int
_TEXT = ctypes.c_char_p

# The sixteen SAT functions and their parameters, as in tivax.h.
_SAT_FUNCTIONS = {
    "AtivarSAT": (_INT, _INT, _TEXT, _TEXT, _INT),
    "ComunicarCertificadoICPBRASIL": (_INT, _TEXT, _TEXT),
    "EnviarDadosVenda": (_INT, _TEXT, _TEXT),
    "CancelarUltimaVenda": (_INT, _TEXT, _TEXT, _TEXT),
    "ConsultarSAT": (_INT,),
    "TesteFimAFim": (_INT, _TEXT, _TEXT),
    "ConsultarStatusOperacional": (_INT, _TEXT),
    "ConsultarNumeroSessao": (_INT, _TEXT, _INT),
    "ConfigurarInterfaceDeRede": (_INT, _TEXT, _TEXT),
    "AssociarAssinatura": (_INT, _TEXT, _TEXT, _TEXT),
    "AtualizarSoftwareSAT": (_INT, _TEXT),
    "ExtrairLogs": (_INT, _TEXT),
    "BloquearSAT": (_INT, _TEXT),
    "DesbloquearSAT": (_INT, _TEXT),
    "TrocarCodigoDeAtivacao": (_INT, _TEXT, _INT, _TEXT, _TEXT),
    "ConsultarUltimaSessaoFiscal": (_INT, _TEXT),
}

# The set-up functions, which answer with an int.
_INT_FUNCTIONS = {
    "TivaxlibInit": (),
    "TivaxlibDeInit": (),
    "ConfigurarPortaSerial": (_TEXT,),
    "DispositivoConectado": (),
}


def campos(resposta):
    """The fields of an answer line, split at every "|"."""
    return resposta.split("|") if resposta else []


def _argument(kind, value):
    if kind is _TEXT:
        if value is None or isinstance(value, bytes):
            return value  # None reaches the library as NULL
        return str(value).encode("utf-8")
    return int(value)


class Tivax:
    """One loaded copy of the library, with its functions as methods."""

    def __init__(self, biblioteca=None):
        caminho = biblioteca or os.environ.get("TIVAX_LIBRARY") or BIBLIOTECA_PADRAO
        self._lib = ctypes.CDLL(caminho)
        self._lib.DesalocarString.argtypes = [ctypes.c_void_p]
        self._lib.DesalocarString.restype = None
        for nome, parametros in _SAT_FUNCTIONS.items():
            funcao = getattr(self._lib, nome)
            funcao.argtypes = list(parametros)
            # c_void_p, not c_char_p: ctypes would convert a c_char_p result
            # to bytes and lose the pointer that must be given back.
            funcao.restype = ctypes.c_void_p
            setattr(self, nome, self._sat_method(nome, funcao, parametros))
        for nome, parametros in _INT_FUNCTIONS.items():
            funcao = getattr(self._lib, nome)
            funcao.argtypes = list(parametros)
            funcao.restype = ctypes.c_int
            setattr(self, nome, self._int_method(nome, funcao, parametros))

    def _take_string(self, ponteiro):
        if not ponteiro:
            return ""
        try:
            dados = ctypes.string_at(ponteiro)
        finally:
            self._lib.DesalocarString(ponteiro)
        return dados.decode("utf-8", errors="replace")

    def _sat_method(self, nome, funcao, parametros):
        def metodo(*argumentos):
            _check_count(nome, parametros, argumentos)
            return self._take_string(funcao(*map(_argument, parametros, argumentos)))
        metodo.__name__ = nome
        metodo.__doc__ = f"{nome}: the answer line, or '' for the invalid result."
        return metodo

    @staticmethod
    def _int_method(nome, funcao, parametros):
        def metodo(*argumentos):
            _check_count(nome, parametros, argumentos)
            return funcao(*map(_argument, parametros, argumentos))
        metodo.__name__ = nome
        return metodo


def _check_count(nome, parametros, argumentos):
    if len(argumentos) != len(parametros):
        raise TypeError(f"{nome} takes {len(parametros)} arguments ({len(argumentos)} given)")
