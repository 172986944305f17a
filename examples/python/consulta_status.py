#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""consulta_status: asks the SAT-CF-e device for its operational status and
prints the answer, field by field.

    consulta_status.py CODIGO_DE_ATIVACAO [PORTA]

Without PORTA the device is found among the USB terminals. Needs the tivax
module (pip install of examples/python, or the python3-tivax package) and
libtivax.so.1.
"""

import os
import random
import sys

import tivax


def main() -> int:
    if len(sys.argv) not in (2, 3):
        print(f"uso: {sys.argv[0]} CODIGO_DE_ATIVACAO [PORTA]", file=sys.stderr)
        return 2
    codigo = sys.argv[1]
    # Without a deadline a silent device would hold the call for good; the
    # library reads TIVAX_TIMEOUT again at TivaxlibInit and ConfigurarPortaSerial.
    os.environ.setdefault("TIVAX_TIMEOUT", "30")
    # With excecoes=True every failure arrives as a TivaxError that says why.
    sat = tivax.Tivax(excecoes=True)
    try:
        # Either name the port (that connects), or let the library find the device.
        if len(sys.argv) == 3:
            sat.ConfigurarPortaSerial(sys.argv[2])
        else:
            sat.TivaxlibInit()
        resposta = sat.ConsultarStatusOperacional(random.randint(1, 999999), codigo)
    except tivax.TivaxError as erro:
        print(f"consulta_status: {erro.erro}", file=sys.stderr)
        return 1
    finally:
        sat.TivaxlibDeInit()
    for numero, valor in enumerate(tivax.campos(resposta), start=1):
        print(f"{numero:2} {valor}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
