# SPDX-License-Identifier: MIT
"""The SAT-CF-e device library (libtivax.so.1) from Python, through ctypes.

    import tivax

    sat = tivax.Tivax()                      # libtivax.so.1, or $TIVAX_LIBRARY
    sat.ConfigurarPortaSerial("/dev/tivax")  # or sat.TivaxlibInit() to discover
    resposta = sat.ConsultarStatusOperacional(123, "12345678")
    print(tivax.campos(resposta))

Every SAT function takes the arguments of the C function of the same name
(integers as int, texts as str, or bytes to pass them unchanged; None is
passed as NULL) and returns the device's answer line as a Resposta, a str,
or "" for the invalid result (device not reachable, call refused, answer
not matching the request). The string the library returns is copied and
released with DesalocarString before the method returns, so no memory is
left to the caller.

Why a result is invalid is in its attribute erro, the library's reason in
Portuguese ("" for a valid answer, a 06010 refusal line included):

    resposta = sat.ConsultarSAT(1)
    if not resposta:
        print(resposta.erro)   # "porta não abre: /dev/tivax: ..."

The reason starts with a fixed phrase per kind ("porta não abre", "tempo
esgotado", "sem resposta", "argumento nulo", ...), then ": " and details.
It is read on the calling thread right after the call, as the library keeps
one per thread. For the set-up functions, which return int,
sat.TivaxlibUltimoErro() gives the reason of the thread's last call.

With Tivax(excecoes=True) an invalid result raises TivaxError instead (its
attributes erro, funcao and sessao say why, in which function, for which
session), and so do ConfigurarPortaSerial when the port does not open and
TivaxlibInit when no device is found.

A libtivax.so.1 older than 1.1 gives no reasons: erro is then a fixed text
for an invalid result, and TivaxlibUltimoErro() returns "".

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

__all__ = ["Tivax", "Resposta", "TivaxError", "Texto", "campos", "BIBLIOTECA_PADRAO", "__version__"]

__version__ = "1.1.0"

BIBLIOTECA_PADRAO = "libtivax.so.1"

#: A text argument: str (sent as UTF-8), bytes (sent as they are) or None (NULL).
Texto = Optional[Union[str, bytes]]

_INT = ctypes.c_int
_TEXT = ctypes.c_char_p

# The reason of an invalid result from a library that tells none.
_SEM_MOTIVO = "resultado inválido; esta libtivax não diz o motivo (só a partir da versão 1.1)"


class Resposta(str):
    """The result of a SAT function: the answer line, or "" for the invalid
    result, with the reason in erro ("" for a valid answer). funcao and
    sessao name the call."""

    erro: str
    funcao: str
    sessao: Optional[int]

    def __new__(cls, texto: str = "", erro: str = "", funcao: str = "",
                sessao: Optional[int] = None) -> "Resposta":
        resposta = super().__new__(cls, texto)
        resposta.erro = erro
        resposta.funcao = funcao
        resposta.sessao = sessao
        return resposta

    def __reduce__(self):  # type: ignore[override]
        return (Resposta, (str(self), self.erro, self.funcao, self.sessao))


class TivaxError(Exception):
    """An invalid result, raised by Tivax(excecoes=True): erro is the
    library's reason, funcao the function, sessao its session number (None
    for the set-up functions)."""

    def __init__(self, erro: str, funcao: str, sessao: Optional[int] = None) -> None:
        self.erro = erro
        self.funcao = funcao
        self.sessao = sessao
        onde = funcao if sessao is None else f"{funcao} (sessão {sessao})"
        super().__init__(f"{onde}: {erro}")


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

    def __init__(self, biblioteca: Optional[str] = None, excecoes: bool = False) -> None:
        caminho = biblioteca or os.environ.get("TIVAX_LIBRARY") or BIBLIOTECA_PADRAO
        self._lib = ctypes.CDLL(caminho)
        self._lib.DesalocarString.argtypes = [ctypes.c_void_p]
        self._lib.DesalocarString.restype = None
        self._excecoes = excecoes
        try:
            self._ultimo_erro: Optional[Callable[[], Optional[bytes]]] = self._lib.TivaxlibUltimoErro
        except AttributeError:  # a library older than 1.1
            self._ultimo_erro = None
        else:
            self._ultimo_erro.argtypes = []
            self._ultimo_erro.restype = ctypes.c_char_p

    # ---- calling the library ---------------------------------------------

    def _function(self, nome: str, parametros: Sequence[type], resultado: type) -> Callable[..., object]:
        funcao = getattr(self._lib, nome)
        if funcao.argtypes is None:
            funcao.argtypes = list(parametros)
            funcao.restype = resultado
        return funcao

    def _motivo(self) -> str:
        """The reason of an invalid result just returned on this thread."""
        return self.TivaxlibUltimoErro() or _SEM_MOTIVO

    def _sat(self, nome: str, parametros: Sequence[type], *argumentos: object) -> Resposta:
        # c_void_p, not c_char_p: ctypes would turn a c_char_p result into
        # bytes and lose the pointer that must be given back.
        funcao = self._function(nome, parametros, ctypes.c_void_p)
        sessao = int(argumentos[0])  # type: ignore[call-overload]
        ponteiro = funcao(*map(_argument, parametros, argumentos))
        dados = b""
        if ponteiro:
            try:
                dados = ctypes.string_at(ponteiro)
            finally:
                self._lib.DesalocarString(ponteiro)
        # Read before anything else calls the library on this thread; the
        # release above leaves it as it is.
        erro = "" if dados else self._motivo()
        if erro and self._excecoes:
            raise TivaxError(erro, nome, sessao)
        return Resposta(dados.decode("utf-8", errors="replace"), erro, nome, sessao)

    def _int(self, nome: str, parametros: Sequence[type], *argumentos: object) -> int:
        funcao = self._function(nome, parametros, ctypes.c_int)
        return int(funcao(*map(_argument, parametros, argumentos)))  # type: ignore[call-overload]

    def _setup(self, nome: str, parametros: Sequence[type], *argumentos: object) -> int:
        # A set-up function failed when the library says why, whatever it
        # returned: ConfigurarPortaSerial returns 1 for a port that does not
        # open.
        resultado = self._int(nome, parametros, *argumentos)
        if self._excecoes:
            erro = self.TivaxlibUltimoErro()
            if erro or resultado == 0:
                raise TivaxError(erro or _SEM_MOTIVO, nome)
        return resultado

    # ---- set-up ----------------------------------------------------------

    def TivaxlibUltimoErro(self) -> str:
        """Why this thread's last call into the library failed; "" after a
        valid answer, and from a library older than 1.1."""
        if self._ultimo_erro is None:
            return ""
        texto = self._ultimo_erro()
        return texto.decode("utf-8", errors="replace") if texto else ""

    def TivaxlibInit(self) -> int:
        """Connects (the configured port, or USB discovery): 1 when connected.
        With excecoes=True, raises TivaxError when no device is found."""
        return self._setup("TivaxlibInit", ())

    def TivaxlibDeInit(self) -> int:
        """Closes the link; always 1."""
        return self._int("TivaxlibDeInit", ())

    def ConfigurarPortaSerial(self, porta: Texto) -> int:
        """Uses the port `porta` from now on and connects through it: no
        TivaxlibInit is needed after it. 1 for any non-empty path; when it
        did not open, TivaxlibUltimoErro() says why, and with
        excecoes=True TivaxError is raised."""
        return self._setup("ConfigurarPortaSerial", (_TEXT,), porta)

    def DispositivoConectado(self) -> int:
        """1 when a device with USB product string "Tivax1" is plugged in; 0
        (never an exception: it is the answer) with the reason in
        TivaxlibUltimoErro() otherwise."""
        return self._int("DispositivoConectado", ())

    # ---- the sixteen SAT functions ---------------------------------------

    def AtivarSAT(self, numeroSessao: int, subComando: int, codigoDeAtivacao: Texto, CNPJ: Texto,
                  cUF: int) -> Resposta:
        return self._sat("AtivarSAT", (_INT, _INT, _TEXT, _TEXT, _INT),
                         numeroSessao, subComando, codigoDeAtivacao, CNPJ, cUF)

    def ComunicarCertificadoICPBRASIL(self, numeroSessao: int, codigoDeAtivacao: Texto,
                                      certificado: Texto) -> Resposta:
        return self._sat("ComunicarCertificadoICPBRASIL", (_INT, _TEXT, _TEXT),
                         numeroSessao, codigoDeAtivacao, certificado)

    def EnviarDadosVenda(self, numeroSessao: int, codigoDeAtivacao: Texto, dadosVenda: Texto) -> Resposta:
        return self._sat("EnviarDadosVenda", (_INT, _TEXT, _TEXT), numeroSessao, codigoDeAtivacao, dadosVenda)

    def CancelarUltimaVenda(self, numeroSessao: int, codigoDeAtivacao: Texto, chave: Texto,
                            dadosCancelamento: Texto) -> Resposta:
        return self._sat("CancelarUltimaVenda", (_INT, _TEXT, _TEXT, _TEXT),
                         numeroSessao, codigoDeAtivacao, chave, dadosCancelamento)

    def ConsultarSAT(self, numeroSessao: int) -> Resposta:
        return self._sat("ConsultarSAT", (_INT,), numeroSessao)

    def TesteFimAFim(self, numeroSessao: int, codigoDeAtivacao: Texto, dadosVenda: Texto) -> Resposta:
        return self._sat("TesteFimAFim", (_INT, _TEXT, _TEXT), numeroSessao, codigoDeAtivacao, dadosVenda)

    def ConsultarStatusOperacional(self, numeroSessao: int, codigoDeAtivacao: Texto) -> Resposta:
        return self._sat("ConsultarStatusOperacional", (_INT, _TEXT), numeroSessao, codigoDeAtivacao)

    def ConsultarNumeroSessao(self, numeroSessao: int, codigoDeAtivacao: Texto, cNumeroDeSessao: int) -> Resposta:
        return self._sat("ConsultarNumeroSessao", (_INT, _TEXT, _INT),
                         numeroSessao, codigoDeAtivacao, cNumeroDeSessao)

    def ConfigurarInterfaceDeRede(self, numeroSessao: int, codigoDeAtivacao: Texto,
                                  dadosConfiguracao: Texto) -> Resposta:
        return self._sat("ConfigurarInterfaceDeRede", (_INT, _TEXT, _TEXT),
                         numeroSessao, codigoDeAtivacao, dadosConfiguracao)

    def AssociarAssinatura(self, numeroSessao: int, codigoDeAtivacao: Texto, CNPJvalue: Texto,
                           assinaturaCNPJs: Texto) -> Resposta:
        return self._sat("AssociarAssinatura", (_INT, _TEXT, _TEXT, _TEXT),
                         numeroSessao, codigoDeAtivacao, CNPJvalue, assinaturaCNPJs)

    def AtualizarSoftwareSAT(self, numeroSessao: int, codigoDeAtivacao: Texto) -> Resposta:
        return self._sat("AtualizarSoftwareSAT", (_INT, _TEXT), numeroSessao, codigoDeAtivacao)

    def ExtrairLogs(self, numeroSessao: int, codigoDeAtivacao: Texto) -> Resposta:
        return self._sat("ExtrairLogs", (_INT, _TEXT), numeroSessao, codigoDeAtivacao)

    def BloquearSAT(self, numeroSessao: int, codigoDeAtivacao: Texto) -> Resposta:
        return self._sat("BloquearSAT", (_INT, _TEXT), numeroSessao, codigoDeAtivacao)

    def DesbloquearSAT(self, numeroSessao: int, codigoDeAtivacao: Texto) -> Resposta:
        return self._sat("DesbloquearSAT", (_INT, _TEXT), numeroSessao, codigoDeAtivacao)

    def TrocarCodigoDeAtivacao(self, numeroSessao: int, codigoDeAtivacao: Texto, opcao: int,
                               novoCodigo: Texto, confNovoCodigo: Texto) -> Resposta:
        return self._sat("TrocarCodigoDeAtivacao", (_INT, _TEXT, _INT, _TEXT, _TEXT),
                         numeroSessao, codigoDeAtivacao, opcao, novoCodigo, confNovoCodigo)

    def ConsultarUltimaSessaoFiscal(self, numeroSessao: int, codigoDeAtivacao: Texto) -> Resposta:
        return self._sat("ConsultarUltimaSessaoFiscal", (_INT, _TEXT), numeroSessao, codigoDeAtivacao)
