// SPDX-License-Identifier: MIT
// The operator's page: asks the hub for its state every second and shows
// it. Nothing here changes the device. Every text is set as text, never
// as markup.
'use strict';
(function () {
  const base = document.querySelector('meta[name="tivax-base"]').content;
  const $ = (id) => document.getElementById(id);
  const intervalo = 1000;
  let token = sessionStorage.getItem('tivax-token') || '';
  let ultimoOk = 0;
  let timer = 0;

  function cabecalhos() {
    return token ? { Authorization: 'Bearer ' + token } : {};
  }

  function texto(id, valor, classe) {
    const el = $(id);
    el.textContent = valor === undefined || valor === null || valor === '' ? '—' : String(valor);
    el.title = el.textContent;  // the whole text where the width cuts it
    el.className = classe || (el.id === 'ultimo' ? 'chave' : '');
  }

  const hora = (ms) => new Date(ms).toLocaleTimeString('pt-BR');
  const dataHora = (ms) => new Date(ms).toLocaleString('pt-BR');
  const duracao = (ms) => (ms < 1000 ? Math.round(ms) + ' ms' : (ms / 1000).toFixed(1) + ' s');
  const deviceClock = (t) => t && t.length === 14
    ? t.slice(6, 8) + '/' + t.slice(4, 6) + '/' + t.slice(0, 4) + ' ' + t.slice(8, 10) + ':' + t.slice(10, 12) + ':' + t.slice(12, 14)
    : t;

  function precisaToken(resposta, corpo) {
    return (resposta.status === 401 || resposta.status === 403) && corpo && /token/.test(corpo.erro || '');
  }

  function pedirToken(mensagem) {
    const form = $('token-form');
    form.hidden = false;
    $('token-erro').textContent = mensagem || '';
    $('atualizado').textContent = 'Aguardando o token';
    $('token').focus();
  }

  async function buscar() {
    const caixa = $('caixa').value.trim();
    const url = base + '/estado' + (caixa !== '' ? '?caixa=' + encodeURIComponent(caixa) : '');
    let resposta;
    let corpo = null;
    try {
      resposta = await fetch(url, { headers: cabecalhos(), cache: 'no-store' });
      corpo = await resposta.json();
    } catch (e) {
      $('atualizado').textContent = 'Hub sem resposta desde ' + (ultimoOk ? hora(ultimoOk) : 'o início');
      return true;
    }
    if (precisaToken(resposta, corpo)) {
      pedirToken(token ? 'Token recusado pelo hub.' : '');
      token = '';
      sessionStorage.removeItem('tivax-token');
      return false;
    }
    if (!resposta.ok) {
      $('atualizado').textContent = 'Erro do hub: ' + (corpo.erro || resposta.status);
      return true;
    }
    ultimoOk = Date.now();
    mostrar(corpo);
    $('atualizado').textContent = 'Atualizado às ' + hora(corpo.agora);
    return true;
  }

  function mostrar(e) {
    mostrarAlertas(e.alertas);
    mostrarEquipamento(e);
    mostrarFila(e.fila, e.agora);
    mostrarDiario(e.diario);
    graficoRequisicoes(e.minutos);
    graficoLatencia(e.minutos);
  }

  function mostrarAlertas(alertas) {
    const caixa = $('alertas');
    caixa.replaceChildren();
    if (!alertas.length) {
      const p = document.createElement('p');
      p.className = 'sem-alerta';
      p.textContent = 'Nenhum alerta.';
      caixa.append(p);
      return;
    }
    for (const a of alertas) {
      const p = document.createElement('p');
      p.className = a.nivel;
      p.textContent = (a.nivel === 'critico' ? 'Crítico: ' : 'Atenção: ') + a.texto;
      caixa.append(p);
    }
  }

  function mostrarEquipamento(e) {
    const eq = e.equipamento;
    const motivo = (eq.motivo || '').replace(/^equipamento inacessível:? ?/, '');
    texto('conexao', eq.conectado ? 'conectado (' + eq.porta + ')' : 'inacessível' + (motivo ? ': ' + motivo : ''),
      eq.conectado ? 'ok' : 'mal');
    const saude = e.saude;
    const s = saude.status;
    texto('consulta', saude.consultado_em
      ? 'a cada ' + e.consulta_status + ' s; última às ' + hora(saude.consultado_em) + (saude.respondeu ? '' : ' (sem resposta)')
      : 'a cada ' + e.consulta_status + ' s; ainda não feita');
    if (!s) return;
    texto('serie', s.numero_serie);
    texto('estado', s.estado.texto, s.estado.bloqueado ? 'mal' : 'ok');
    texto('versoes', s.firmware + ' / ' + s.layout);
    texto('bateria', s.bateria ? s.bateria.toLowerCase() : '');
    texto('memoria', s.memoria.uso === null ? '' : s.memoria.uso.toFixed(1) + '%');
    texto('ultimo', s.ultimo_cfe || 'nenhum emitido');
    const dias = s.certificado.dias_restantes;
    texto('certificado', s.certificado.vencimento + (dias === null ? '' : ' (' + dias + ' dias)'),
      dias !== null && dias <= 30 ? 'mal' : '');
    const dif = s.relogio.diferenca_segundos;
    texto('relogio', deviceClock(s.relogio.equipamento) +
      (dif === null ? '' : Math.abs(dif) <= 1 ? ' (igual ao do hub)' : ' (' + (dif > 0 ? '+' : '') + dif + ' s em relação ao hub)'),
      dif !== null && Math.abs(dif) > 300 ? 'mal' : '');
  }

  function mostrarFila(fila, agora) {
    const desde = (ms) => 'desde ' + hora(ms) + ' (' + duracao(Math.max(0, agora - ms)) + ')';
    const c = fila.em_curso;
    texto('em-curso', c ? c.funcao + ' do caixa ' + c.caixa + ', ' + desde(c.desde) : 'nada');
    const lista = $('esperando');
    lista.replaceChildren();
    const itens = fila.esperando.length ? fila.esperando : [null];
    for (const w of itens) {
      const li = document.createElement('li');
      li.textContent = w ? 'caixa ' + w.caixa + ' espera ' + w.funcao + ', ' + desde(w.desde) : 'ninguém esperando';
      lista.append(li);
    }
  }

  function mostrarDiario(entradas) {
    const corpo = $('diario');
    const linhas = [];
    for (const d of entradas) {
      const tr = document.createElement('tr');
      let venda = '';
      if (d.venda) {
        venda = (d.venda.cancelamento ? 'cancelamento ' : '') + d.venda.chave + ', R$ ' + d.venda.total +
          (d.venda.itens ? ', ' + d.venda.itens + (d.venda.itens === 1 ? ' item' : ' itens') : '');
      } else if (d.erro) {
        venda = d.erro;
      }
      const celulas = [hora(d.instante), d.caixa, d.funcao, d.sessao || '—', d.codigo || d.estado,
        d.duracao_ms === null ? '—' : duracao(d.duracao_ms), d.id_requisicao || '—', venda];
      celulas.forEach((v, i) => {
        const td = document.createElement('td');
        td.textContent = String(v);
        if (i === 7) td.className = 'venda';
        tr.append(td);
      });
      tr.title = dataHora(d.instante);
      linhas.push(tr);
    }
    corpo.replaceChildren(...linhas);
  }

  const NS = 'http://www.w3.org/2000/svg';
  const W = 600, H = 180, ESQ = 40, BAIXO = 20, TOPO = 8;
  const cores = ['#1b7f3b', '#c26100', '#7a3db8', '#b00020'];

  function svg(tag, attrs, conteudo) {
    const el = document.createElementNS(NS, tag);
    for (const k in attrs) el.setAttribute(k, attrs[k]);
    if (conteudo !== undefined) el.textContent = conteudo;
    return el;
  }

  function eixos(alvo, minutos, maximo, unidade) {
    alvo.append(svg('line', { x1: ESQ, y1: H - BAIXO, x2: W, y2: H - BAIXO, stroke: '#999' }));
    alvo.append(svg('text', { x: ESQ - 4, y: TOPO + 8, 'text-anchor': 'end' }, String(maximo)));
    alvo.append(svg('text', { x: ESQ - 4, y: H - BAIXO, 'text-anchor': 'end' }, '0'));
    alvo.append(svg('text', { x: ESQ, y: H - 5 }, hora(minutos[0].inicio).slice(0, 5)));
    alvo.append(svg('text', { x: W - 2, y: H - 5, 'text-anchor': 'end' }, hora(minutos[minutos.length - 1].inicio).slice(0, 5)));
    if (unidade) alvo.append(svg('text', { x: ESQ + 4, y: TOPO + 8 }, unidade));
  }

  function escala(maximo) {
    if (maximo <= 5) return 5;
    const p = Math.pow(10, Math.floor(Math.log10(maximo)));
    return Math.ceil(maximo / p) * p;
  }

  function graficoRequisicoes(minutos) {
    const alvo = $('g-req');
    alvo.replaceChildren();
    const chaves = ['respondidas', 'recusadas', 'invalidas', 'inacessiveis'];
    const totais = minutos.map((m) => chaves.reduce((s, k) => s + m[k], 0));
    const maximo = escala(Math.max(...totais));
    const largura = (W - ESQ) / minutos.length;
    const altura = H - BAIXO - TOPO;
    minutos.forEach((m, i) => {
      let y = H - BAIXO;
      chaves.forEach((k, c) => {
        if (!m[k]) return;
        const h = (m[k] / maximo) * altura;
        y -= h;
        const r = svg('rect', { x: ESQ + i * largura + 1, y: y, width: Math.max(1, largura - 2), height: h, fill: cores[c] });
        r.append(svg('title', {}, hora(m.inicio).slice(0, 5) + ': ' + m[k] + ' ' + k));
        alvo.append(r);
      });
    });
    eixos(alvo, minutos, maximo, 'por minuto');
    const soma = chaves.map((k) => minutos.reduce((s, m) => s + m[k], 0));
    alvo.setAttribute('aria-label', 'Requisições na última hora: ' + soma[0] + ' respondidas, ' + soma[1] +
      ' recusadas, ' + soma[2] + ' inválidas, ' + soma[3] + ' com o equipamento inacessível');
  }

  function graficoLatencia(minutos) {
    const alvo = $('g-lat');
    alvo.replaceChildren();
    const valores = minutos.flatMap((m) => [m.mediana_ms, m.p95_ms]).filter((v) => v !== null);
    const maximo = escala(valores.length ? Math.max(...valores) : 0);
    const largura = (W - ESQ) / minutos.length;
    const altura = H - BAIXO - TOPO;
    [['mediana_ms', cores[0]], ['p95_ms', cores[3]]].forEach(([k, cor]) => {
      let pontos = [];
      const desenhar = () => {
        if (pontos.length > 1) alvo.append(svg('polyline', { points: pontos.join(' '), fill: 'none', stroke: cor, 'stroke-width': 2 }));
        if (pontos.length === 1) {
          const [x, y] = pontos[0].split(',');
          alvo.append(svg('circle', { cx: x, cy: y, r: 2.5, fill: cor }));
        }
        pontos = [];
      };
      minutos.forEach((m, i) => {
        if (m[k] === null) return desenhar();
        pontos.push((ESQ + (i + 0.5) * largura).toFixed(1) + ',' + (H - BAIXO - (m[k] / maximo) * altura).toFixed(1));
      });
      desenhar();
    });
    eixos(alvo, minutos, maximo, 'ms');
    const ultimo = [...minutos].reverse().find((m) => m.mediana_ms !== null);
    alvo.setAttribute('aria-label', ultimo
      ? 'Tempo de resposta no último minuto com trocas: mediana ' + ultimo.mediana_ms + ' ms, 95º percentil ' + ultimo.p95_ms + ' ms'
      : 'Nenhuma troca com o equipamento na última hora');
  }

  async function baixarArquivo() {
    const hoje = new Date();
    const inicio = new Date(hoje.getFullYear(), hoje.getMonth() - 1, 1);
    const fim = new Date(hoje.getFullYear(), hoje.getMonth(), 0);
    const iso = (d) => d.getFullYear() + '-' + String(d.getMonth() + 1).padStart(2, '0') + '-' + String(d.getDate()).padStart(2, '0');
    const msg = $('arquivo-msg');
    msg.textContent = 'Preparando o arquivo…';
    try {
      const r = await fetch(base + '/arquivo?de=' + iso(inicio) + '&ate=' + iso(fim), { headers: cabecalhos() });
      if (!r.ok) {
        const corpo = await r.json().catch(() => ({}));
        msg.textContent = 'Não foi possível: ' + (corpo.erro || r.status);
        return;
      }
      const url = URL.createObjectURL(await r.blob());
      const a = document.createElement('a');
      a.href = url;
      a.download = 'cfe-' + iso(inicio) + '-a-' + iso(fim) + '.zip';
      document.body.append(a);
      a.click();
      a.remove();
      setTimeout(() => URL.revokeObjectURL(url), 60000);
      msg.textContent = 'Arquivo baixado.';
    } catch (e) {
      msg.textContent = 'Não foi possível: ' + e.message;
    }
  }

  async function ciclo() {
    clearTimeout(timer);
    // A tab nobody looks at asks nothing; it catches up when shown again.
    if (document.hidden) return;
    const seguir = await buscar();
    if (seguir) timer = setTimeout(ciclo, intervalo);
  }

  $('token-form').addEventListener('submit', (ev) => {
    ev.preventDefault();
    token = $('token').value.trim();
    sessionStorage.setItem('tivax-token', token);
    $('token').value = '';
    $('token-form').hidden = true;
    ciclo();
  });
  $('caixa').addEventListener('change', ciclo);
  document.addEventListener('visibilitychange', () => {
    if (!document.hidden && $('token-form').hidden) ciclo();
  });
  $('arquivo').addEventListener('click', baixarArquivo);
  ciclo();
})();
