"""The SAT-CF-e device library (libtivax.so.1) from Python, through ctypes.

    import tivax

    sat = tivax.Tivax()                      # libtivax.so.1, or $TIVAX_LIBRARY
    sat.ConfigurarPortaSerial("/dev/tivax")  # or sat.TivaxlibInit() to discover
    resposta = sat.ConsultarStatusOperacional(123, "12345678")
    print(tivax.campos(resposta))

Every SAT function takes the arguments of the C function of the same name
(integers as int, texts as str, or bytes to pass them unchanged; None is
passed as NULL) and returns the device's answer line as str, or "" for the
invalid result (device not reachable, call refused, answer not matching the
request). The string the library returns is copied and released with
DesalocarString before the method returns, so no memory is left to the
caller.

The library is found the way programs find it, by the loader's search path
(libtivax.so.1 from the libtivax1 package or an installed tree); the
environment variable TIVAX_LIBRARY, or the argument of Tivax(), names
another file, for example a build tree's copy.

Only the C functions are offered: consultaBloqueio is a C++ function and is
not reachable through ctypes; read ESTADO_OPERACAO (the last field of
ConsultarStatusOperacional) instead.
"""

from __future__ import annotations

import ctypes
import os
from typing import Callable, List, Optional, Sequence, Union

__all__ = ["Tivax", "Texto", "campos", "BIBLIOTECA_PADRAO", "__version__"]

__version__ = "1.1.0"

BIBLIOTECA_PADRAO = "libtivax.so.1"

#: A text argument: str (sent as UTF-8), bytes (sent as they are) or None (NULL).
Texto = Optional[Union[str, bytes]]

_INT = ctypes.c_int
_TEXT = ctypes.c_char_p


def campos(resposta: str) -> List[str]:
    """The fields of an answer line, split at every "|"."""
    return resposta.split("|") if resposta else []


def _argument(kind: type, value: object) -> object:
    if kind is _TEXT:
        if value is None or isinstance(value, bytes):
            return value  # None reaches the library as NULL
        return str(value).encode("utf-8")
    return int(value)  # type: ignore[call-overload]


class Tivax:
    """One loaded copy of the library, with its functions as methods."""

    def __init__(self, biblioteca: Optional[str] = None) -> None:
        caminho = biblioteca or os.environ.get("TIVAX_LIBRARY") or BIBLIOTECA_PADRAO
        self._lib = ctypes.CDLL(caminho)
        self._lib.DesalocarString.argtypes = [ctypes.c_void_p]
        self._lib.DesalocarString.restype = None

    # ---- calling the library ---------------------------------------------

    def _function(self, nome: str, parametros: Sequence[type], resultado: type) -> Callable[..., object]:
        funcao = getattr(self._lib, nome)
        if funcao.argtypes is None:
            funcao.argtypes = list(parametros)
            funcao.restype = resultado
        return funcao

    def _sat(self, nome: str, parametros: Sequence[type], *argumentos: object) -> str:
        # c_void_p, not c_char_p: ctypes would turn a c_char_p result into
        # bytes and lose the pointer that must be given back.
        funcao = self._function(nome, parametros, ctypes.c_void_p)
        ponteiro = funcao(*map(_argument, parametros, argumentos))
        if not ponteiro:
            return ""
        try:
            dados = ctypes.string_at(ponteiro)
        finally:
            self._lib.DesalocarString(ponteiro)
        return dados.decode("utf-8", errors="replace")

    def _int(self, nome: str, parametros: Sequence[type], *argumentos: object) -> int:
        funcao = self._function(nome, parametros, ctypes.c_int)
        return int(funcao(*map(_argument, parametros, argumentos)))  # type: ignore[call-overload]

    # ---- set-up ----------------------------------------------------------

    def TivaxlibInit(self) -> int:
        """Connects (the configured port, or USB discovery): 1 when connected."""
        return self._int("TivaxlibInit", ())

    def TivaxlibDeInit(self) -> int:
        """Closes the link; always 1."""
        return self._int("TivaxlibDeInit", ())

    def ConfigurarPortaSerial(self, porta: Texto) -> int:
        """Uses the port `porta` from now on and connects through it: no
        TivaxlibInit is needed after it. 1 for any non-empty path."""
        return self._int("ConfigurarPortaSerial", (_TEXT,), porta)

    def DispositivoConectado(self) -> int:
        """1 when a device with USB product string "Tivax1" is plugged in."""
        return self._int("DispositivoConectado", ())

    # ---- the sixteen SAT functions ---------------------------------------

    def AtivarSAT(self, numeroSessao: int, subComando: int, codigoDeAtivacao: Texto, CNPJ: Texto,
                  cUF: int) -> str:
        return self._sat("AtivarSAT", (_INT, _INT, _TEXT, _TEXT, _INT),
                         numeroSessao, subComando, codigoDeAtivacao, CNPJ, cUF)

    def ComunicarCertificadoICPBRASIL(self, numeroSessao: int, codigoDeAtivacao: Texto,
                                      certificado: Texto) -> str:
        return self._sat("ComunicarCertificadoICPBRASIL", (_INT, _TEXT, _TEXT),
                         numeroSessao, codigoDeAtivacao, certificado)

    def EnviarDadosVenda(self, numeroSessao: int, codigoDeAtivacao: Texto, dadosVenda: Texto) -> str:
        return self._sat("EnviarDadosVenda", (_INT, _TEXT, _TEXT), numeroSessao, codigoDeAtivacao, dadosVenda)

    def CancelarUltimaVenda(self, numeroSessao: int, codigoDeAtivacao: Texto, chave: Texto,
                            dadosCancelamento: Texto) -> str:
        return self._sat("CancelarUltimaVenda", (_INT, _TEXT, _TEXT, _TEXT),
                         numeroSessao, codigoDeAtivacao, chave, dadosCancelamento)

    def ConsultarSAT(self, numeroSessao: int) -> str:
        return self._sat("ConsultarSAT", (_INT,), numeroSessao)

    def TesteFimAFim(self, numeroSessao: int, codigoDeAtivacao: Texto, dadosVenda: Texto) -> str:
        return self._sat("TesteFimAFim", (_INT, _TEXT, _TEXT), numeroSessao, codigoDeAtivacao, dadosVenda)

    def ConsultarStatusOperacional(self, numeroSessao: int, codigoDeAtivacao: Texto) -> str:
        return self._sat("ConsultarStatusOperacional", (_INT, _TEXT), numeroSessao, codigoDeAtivacao)

    def ConsultarNumeroSessao(self, numeroSessao: int, codigoDeAtivacao: Texto, cNumeroDeSessao: int) -> str:
        return self._sat("ConsultarNumeroSessao", (_INT, _TEXT, _INT),
                         numeroSessao, codigoDeAtivacao, cNumeroDeSessao)

    def ConfigurarInterfaceDeRede(self, numeroSessao: int, codigoDeAtivacao: Texto,
                                  dadosConfiguracao: Texto) -> str:
        return self._sat("ConfigurarInterfaceDeRede", (_INT, _TEXT, _TEXT),
                         numeroSessao, codigoDeAtivacao, dadosConfiguracao)

    def AssociarAssinatura(self, numeroSessao: int, codigoDeAtivacao: Texto, CNPJvalue: Texto,
                           assinaturaCNPJs: Texto) -> str:
        return self._sat("AssociarAssinatura", (_INT, _TEXT, _TEXT, _TEXT),
                         numeroSessao, codigoDeAtivacao, CNPJvalue, assinaturaCNPJs)

    def AtualizarSoftwareSAT(self, numeroSessao: int, codigoDeAtivacao: Texto) -> str:
        return self._sat("AtualizarSoftwareSAT", (_INT, _TEXT), numeroSessao, codigoDeAtivacao)

    def ExtrairLogs(self, numeroSessao: int, codigoDeAtivacao: Texto) -> str:
        return self._sat("ExtrairLogs", (_INT, _TEXT), numeroSessao, codigoDeAtivacao)

    def BloquearSAT(self, numeroSessao: int, codigoDeAtivacao: Texto) -> str:
        return self._sat("BloquearSAT", (_INT, _TEXT), numeroSessao, codigoDeAtivacao)

    def DesbloquearSAT(self, numeroSessao: int, codigoDeAtivacao: Texto) -> str:
        return self._sat("DesbloquearSAT", (_INT, _TEXT), numeroSessao, codigoDeAtivacao)

    def TrocarCodigoDeAtivacao(self, numeroSessao: int, codigoDeAtivacao: Texto, opcao: int,
                               novoCodigo: Texto, confNovoCodigo: Texto) -> str:
        return self._sat("TrocarCodigoDeAtivacao", (_INT, _TEXT, _INT, _TEXT, _TEXT),
                         numeroSessao, codigoDeAtivacao, opcao, novoCodigo, confNovoCodigo)

    def ConsultarUltimaSessaoFiscal(self, numeroSessao: int, codigoDeAtivacao: Texto) -> str:
        return self._sat("ConsultarUltimaSessaoFiscal", (_INT, _TEXT), numeroSessao, codigoDeAtivacao)
