"""Runs the tivax module, as installed, against the device emulator.

    python3 -m unittest discover -s examples/python/tests

The emulator program is taken from $TIVAX_EMULATOR or the PATH, the library
from $TIVAX_LIBRARY or the loader's search path. Without these variables the
tests are skipped when either cannot be found.
"""

import os
import shutil
import subprocess
import unittest

import tivax

CODIGO = "12345678"  # the emulator's activation code


def _emulator_program():
    return os.environ.get("TIVAX_EMULATOR") or shutil.which("tivax-emulator")


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
        try:
            cls.sat = tivax.Tivax()
        except OSError as erro:
            if os.environ.get("TIVAX_LIBRARY"):
                raise  # named explicitly: a load failure is a fault
            raise unittest.SkipTest(f"libtivax.so.1 not found: {erro}")
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


class Campos(unittest.TestCase):
    def test_split(self):
        self.assertEqual(tivax.campos("1|2||4"), ["1", "2", "", "4"])
        self.assertEqual(tivax.campos(""), [])


if __name__ == "__main__":
    unittest.main()
