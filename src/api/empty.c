/* SPDX-License-Identifier: MIT */
/* The shared library is made of the internal static library taken whole. */
