# SPDX-License-Identifier: MIT
"""Runs the tivax module, as installed, against the device emulator.

    python3 -m unittest discover -s examples/python/tests

The emulator program is taken from $TIVAX_EMULATOR or the PATH, the library
from $TIVAX_LIBRARY or the loader's search path. Without these variables the
tests are skipped when either cannot be found.
"""

import os
import pickle
import shutil
import subprocess
import tempfile
import threading
import unittest

import tivax

CODIGO = "12345678"  # the emulator's activation code


def _emulator_program():
    return os.environ.get("TIVAX_EMULATOR") or shutil.which("tivax-emulator")


def _load(**opcoes):
    try:
        return tivax.Tivax(**opcoes)
    except OSError as erro:
        if os.environ.get("TIVAX_LIBRARY"):
            raise  # named explicitly: a load failure is a fault
        raise unittest.SkipTest(f"libtivax.so.1 not found: {erro}")


def _stop(processo):
    processo.terminate()
    try:
        processo.wait(timeout=10)
    except subprocess.TimeoutExpired:
        processo.kill()
        processo.wait()
    processo.stdout.close()


class TivaxComEmulador(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        programa = _emulator_program()
        if not programa:
            raise unittest.SkipTest("tivax-emulator not found")
        cls.sat = _load()
        emulador = subprocess.Popen([programa], stdout=subprocess.PIPE, text=True)
        cls.addClassCleanup(_stop, emulador)
        porta = emulador.stdout.readline().strip()
        if not porta:
            raise AssertionError("the emulator printed no terminal path")
        if cls.sat.ConfigurarPortaSerial(porta) != 1:
            raise AssertionError("ConfigurarPortaSerial refused " + porta)
        cls.addClassCleanup(cls.sat.TivaxlibDeInit)

    def test_consultar_sat_answers_with_the_session(self):
        resposta = self.sat.ConsultarSAT(4321)
        self.assertTrue(resposta.startswith("004321|08000|"), resposta)

    def test_status_carries_the_named_fields(self):
        campos = tivax.campos(self.sat.ConsultarStatusOperacional(12, CODIGO))
        self.assertEqual(campos[:2], ["000012", "10000"])
        self.assertEqual(len(campos), 28)

    def test_refusals_are_empty_strings(self):
        # None reaches the library as NULL; a session number below 1 is refused.
        self.assertEqual(self.sat.ConsultarStatusOperacional(13, None), "")
        self.assertEqual(self.sat.ConsultarNumeroSessao(14, CODIGO, 0), "")

    def test_refused_sale_comes_back_decoded(self):
        # A sale that breaks the layout is answered by the library itself, in
        # Portuguese, before anything reaches the device.
        resposta = self.sat.EnviarDadosVenda(15, CODIGO, "<CFe><infCFe versaoDadosEnt=\"0.07\"/></CFe>")
        campos = tivax.campos(resposta)
        self.assertEqual(campos[:3], ["000015", "06010", "1999"])
        self.assertIn("Erro no XML", campos[3])

    def test_wrong_argument_count_is_a_type_error(self):
        with self.assertRaises(TypeError):
            self.sat.ConsultarSAT()

    def test_valid_answers_have_no_reason(self):
        for resposta in (self.sat.ConsultarSAT(16),
                         # a refusal line is an answer, not an invalid result
                         self.sat.EnviarDadosVenda(17, CODIGO, "<CFe/>")):
            self.assertIsInstance(resposta, tivax.Resposta)
            self.assertTrue(resposta)
            self.assertEqual(resposta.erro, "")
        self.assertEqual(self.sat.TivaxlibUltimoErro(), "")

    def test_refusals_say_why(self):
        resposta = self.sat.ConsultarStatusOperacional(18, None)
        self.assertEqual(resposta, "")
        self.assertTrue(resposta.erro.startswith("argumento nulo: codigoDeAtivacao"), resposta.erro)
        self.assertEqual((resposta.funcao, resposta.sessao), ("ConsultarStatusOperacional", 18))
        self.assertEqual(self.sat.TivaxlibUltimoErro(), resposta.erro)
        copia = pickle.loads(pickle.dumps(resposta))
        self.assertEqual((copia, copia.erro, copia.sessao), ("", resposta.erro, 18))

    def test_exceptions_for_invalid_results_only(self):
        sat = tivax.Tivax(excecoes=True)
        with self.assertRaises(tivax.TivaxError) as recusa:
            sat.ConsultarNumeroSessao(19, CODIGO, 0)
        self.assertTrue(recusa.exception.erro.startswith("argumento inválido: cNumeroDeSessao"))
        self.assertEqual((recusa.exception.funcao, recusa.exception.sessao), ("ConsultarNumeroSessao", 19))
        self.assertIn("(sessão 19)", str(recusa.exception))
        # A wrong activation code is the device's answer: no exception.
        self.assertEqual(tivax.campos(sat.ConsultarStatusOperacional(20, "00000000"))[1], "10001")

    def test_reasons_are_per_thread(self):
        self.assertEqual(self.sat.ConsultarStatusOperacional(21, None), "")
        noutra = []
        linha = threading.Thread(target=lambda: noutra.append(
            (self.sat.ConsultarSAT(22).erro, self.sat.TivaxlibUltimoErro())))
        linha.start()
        linha.join()
        self.assertEqual(noutra, [("", "")])
        # The other thread's valid answer leaves this thread's reason alone.
        self.assertTrue(self.sat.TivaxlibUltimoErro().startswith("argumento nulo"))


class PortaQueNaoAbre(unittest.TestCase):
    """A path that is not there: the reason is the library's, for the set-up
    and for the calls after it."""

    @classmethod
    def setUpClass(cls):
        cls.porta = os.path.join(tempfile.gettempdir(), f"tivax-sem-porta-{os.getpid()}")
        cls.sat = _load()
        cls.addClassCleanup(cls.sat.TivaxlibDeInit)

    def test_reason_of_the_set_up_and_of_the_call(self):
        self.assertEqual(self.sat.ConfigurarPortaSerial(self.porta), 1)  # stored, though not open
        self.assertTrue(self.sat.TivaxlibUltimoErro().startswith(f"porta não abre: {self.porta}: "),
                        self.sat.TivaxlibUltimoErro())
        resposta = self.sat.ConsultarSAT(31)
        self.assertEqual(resposta, "")
        self.assertTrue(resposta.erro.startswith(f"porta não abre: {self.porta}: "), resposta.erro)

    def test_exceptions(self):
        sat = tivax.Tivax(excecoes=True)
        with self.assertRaises(tivax.TivaxError) as configuracao:
            sat.ConfigurarPortaSerial(self.porta)
        self.assertEqual((configuracao.exception.funcao, configuracao.exception.sessao),
                         ("ConfigurarPortaSerial", None))
        self.assertTrue(configuracao.exception.erro.startswith("porta não abre"))
        with self.assertRaises(tivax.TivaxError) as chamada:
            sat.ConsultarSAT(32)
        self.assertEqual((chamada.exception.funcao, chamada.exception.sessao), ("ConsultarSAT", 32))
        self.assertIsInstance(chamada.exception, Exception)

    def test_a_library_without_reasons(self):
        # As a libtivax.so.1 older than 1.1 behaves: no symbol to read.
        sat = tivax.Tivax()
        sat._ultimo_erro = None
        resposta = sat.ConsultarSAT(33)
        self.assertEqual(resposta, "")
        self.assertTrue(resposta.erro.startswith("resultado inválido"), resposta.erro)
        self.assertEqual(sat.TivaxlibUltimoErro(), "")


class Campos(unittest.TestCase):
    def test_split(self):
        self.assertEqual(tivax.campos("1|2||4"), ["1", "2", "", "4"])
        self.assertEqual(tivax.campos(""), [])

    def test_exported_names(self):
        for nome in ("Resposta", "TivaxError"):
            self.assertIn(nome, tivax.__all__)
        self.assertTrue(issubclass(tivax.TivaxError, Exception))
        self.assertEqual(tivax.campos(tivax.Resposta("1|2", "", "ConsultarSAT", 1)), ["1", "2"])


if __name__ == "__main__":
    unittest.main()
