// The page's words in Polish and English, and numbers, amounts and dates as each language
// writes them. Every text staff read comes from here: a text written into another file would
// stay English on a Polish page.
//
// A value is a string with {name} placeholders, or, where a count changes the words, an object
// of plural forms ({one, few, many, other}) chosen by the count in params.n.

const pl = {
  'app.title': 'velko · kasy sklepu',
  'app.name': 'velko',
  'app.subtitle': '· kasy sklepu',
  'lang.label': 'Język',
  'lang.pl': 'PL',
  'lang.en': 'EN',
  'lang.plName': 'polski',
  'lang.enName': 'angielski',
  'role.operate': 'obsługa',
  'role.read': 'tylko podgląd',
  'live.on': '● na żywo',
  'live.off': '○ łączę ponownie…',
  'logout': 'Wyloguj',
  'message.close': 'Zamknij komunikat',

  'login.title': 'Logowanie',
  'login.token': 'Token dostępu',
  'login.remember': 'Zapamiętaj na tym urządzeniu',
  'login.button': 'Zaloguj',
  'login.hint': 'Bez zaznaczenia token jest pamiętany tylko w tej karcie przeglądarki. ' +
    'Zaznacz tylko na urządzeniu, z którego korzysta wyłącznie obsługa.',
  'login.rejected': 'Usługa nie przyjęła tokenu (401 – brak uprawnień). Wpisz właściwy token.',
  'login.unavailable': 'Z usługi nie można teraz korzystać: {error}',
  'service.unreachable': 'Nie można połączyć się z usługą: {error}',
  'service.noAnswer': 'Usługa nie odpowiada.',
  'service.readOnly': 'Ten token pozwala tylko oglądać (403): wysyłanie cenników i zamykanie ' +
    'dnia wymaga tokenu obsługi.',
  'error.withStatus': '{what}: {error} ({status})',
  'error.plain': '{what}: {error}',

  'devices.title': 'Kasy',
  'devices.none': 'Usługa nie ma żadnej kasy.',
  'devices.loadFailed': 'Nie udało się odczytać listy kas',
  'state.idle': 'gotowa',
  'state.busy': 'pracuje',
  'state.unreachable': 'nie odpowiada',
  'state.unknown': 'stan nieznany',
  'device.line': 'Linia',
  'device.lineValue': '{line} · nr {number} · {baud} Bd',
  'device.group': 'Grupa',
  'device.articles': 'Artykuły',
  'device.unknownCount': '—',
  'device.priceList': 'Cennik',
  'device.priceListValue': 'wersja {version} z centrali',
  'device.lastJob': 'Ostatnie zadanie',
  'device.noJob': 'brak',
  'device.lastClose': 'Zamknięcie dnia',
  'device.noClose': 'dzień nie był jeszcze zamykany',
  'device.closeDay': 'Zamknij dzień',
  'device.attention': 'Wymaga uwagi',
  'device.unreachableHint': 'Kasa {device} nie odpowiada: sprawdź, czy jest włączona i podłączona',

  'reset.confirmed': 'liczniki wyzerowane',
  'reset.unconfirmed': '⚠ zerowanie niepotwierdzone',
  'reset.pending': 'zerowanie w toku',
  'reset.not_sent': 'liczniki nie zerowane',
  'reset.unconfirmedTitle': 'Kasa przyjęła polecenie zerowania, ale nie potwierdziła go: liczniki ' +
    'mogą być wyzerowane albo nie. Pokaże to następne zamknięcie dnia.',

  'office.connected': 'Centrala ({store}, {broker}): połączono',
  'office.disconnected': 'Centrala ({store}, {broker}): brak połączenia – {problem}',
  'office.waiting': {
    one: '{n} raport dzienny czeka na potwierdzenie centrali',
    few: '{n} raporty dzienne czekają na potwierdzenie centrali',
    many: '{n} raportów dziennych czeka na potwierdzenie centrali',
    other: '{n} raportu dziennego czeka na potwierdzenie centrali',
  },
  'office.since': '(od {when})',
  'office.refused': 'centrala odrzuciła: {why}',

  'target.all': 'Wszystkie kasy ({n})',
  'target.groups': 'Grupy',
  'target.group': 'Grupa {group} ({n})',
  'target.devices': 'Kasy',
  'target.allText': 'wszystkie kasy',
  'target.groupText': 'grupa {group}',

  'kind.upload': 'Wysyłka cennika',
  'kind.sync': 'Synchronizacja',
  'kind.verify': 'Sprawdzenie kasy',
  'kind.download': 'Odczyt artykułów',
  'kind.delete': 'Usuwanie artykułów',
  'kind.zero-counters': 'Zerowanie liczników',
  'kind.close-day': 'Zamknięcie dnia',
  'kind.scan': 'Wyszukiwanie kas',
  'kind.preview': 'Podgląd synchronizacji',
  'jobState.queued': 'w kolejce',
  'jobState.running': 'w toku',
  'jobState.done': 'zakończone',
  'jobState.failed': 'nieudane',
  'jobState.interrupted': 'przerwane',
  'jobState.cancelled': 'anulowane',
  'by.schedule': 'harmonogram',
  'by.head-office': 'centrala',
  'by.nobody': '—',

  'counts.accepted': 'przyjęte: {n}',
  'counts.refused': 'odrzucone: {n}',
  'counts.received': 'odczytane: {n}',
  'counts.deleted': 'usunięte: {n}',
  'counts.articles': 'artykuły: {n}',
  'counts.quantity': 'ilość: {q}',
  'counts.value': 'wartość: {v}',
  'counts.added': 'nowe: {n}',
  'counts.changed': 'zmienione: {n}',
  'counts.unchanged': 'bez zmian: {n}',
  'counts.leftAlone': 'pozostawione: {n}',
  'counts.missing': 'brakujące: {n}',
  'counts.differ': 'różne: {n}',
  'counts.extra': 'nadmiarowe: {n}',
  'counts.match': 'zgodne: {n}',
  'counts.found': 'znalezione: {n}',
  'counts.join': ', ',
  'counts.wouldBe': 'byłoby – {counts}',

  'outcome.done': 'Zakończone bez błędów',
  'outcome.scanNone': 'Na linii kasy {device} nie odpowiedziała żadna kasa: sprawdź, czy kasy ' +
    'są włączone i podłączone',
  'outcome.notRecorded': 'Zadania na kasie {device} nie udało się zapisać w dzienniku: ' +
    'sprawdź wolne miejsce na dysku serwera',
  'outcome.badInput': 'Plik cennika ma błędy, więc do kasy {device} nic nie wysłano: popraw ' +
    'plik i wyślij go ponownie',
  'outcome.refused': 'Kasa {device} odrzuciła część artykułów: sprawdź ich kody, ceny i grupy',
  'outcome.reportNotSaved': 'Raportu z kasy {device} nie udało się zapisać, więc liczniki nie ' +
    'zostały wyzerowane: sprawdź miejsce na dysku serwera i zamknij dzień jeszcze raz',
  'outcome.resetUnconfirmed': 'Kasa {device} nie potwierdziła wyzerowania liczników: mogą być ' +
    'wyzerowane albo nie – pokaże to następne zamknięcie dnia',
  'outcome.notWritten': 'Tego, co odczytano z kasy {device}, nie udało się zapisać na serwerze: ' +
    'sprawdź miejsce na dysku',
  'outcome.mismatch': 'Kasa {device} ma inne artykuły niż cennik: wyślij cennik jeszcze raz ' +
    '(synchronizacja)',
  'outcome.abort': 'Odczyt z kasy {device} zatrzymano przed końcem listy artykułów',
  'outcome.open': 'Kasa {device} nie odpowiada: sprawdź, czy jest włączona i podłączona',
  'outcome.send': 'Kasa {device} nie potwierdziła odbioru danych: sprawdź kabel, prędkość ' +
    'łącza i numer kasy',
  'outcome.read': 'Kasa {device} nie odpowiedziała na czas albo odmówiła: sprawdź kabel, ' +
    'prędkość łącza i numer kasy',
  'outcome.format': 'Kasa {device} nie mogła przyjąć danych albo jej odpowiedzi nie dało się ' +
    'odczytać: sprawdź artykuły i ustawienia łącza',
  'outcome.crc': 'Dane z kasy {device} dotarły uszkodzone: sprawdź kabel – długi lub ' +
    'nieekranowany łapie zakłócenia',
  'outcome.port': 'Kasa {device} ma w konfiguracji zły numer portu: zgłoś to administratorowi',
  'outcome.address': 'Kasa {device} ma w konfiguracji zły numer kasy (dozwolone 0–99): zgłoś ' +
    'to administratorowi',
  'outcome.handle': 'Błąd wewnętrzny przy kasie {device}: uruchom zadanie jeszcze raz, a gdy ' +
    'się powtórzy, zgłoś to administratorowi',
  'outcome.interrupted': 'Zadanie na kasie {device} przerwano, bo usługa się zatrzymała: ' +
    'sprawdź kasę, zanim uruchomisz je ponownie',
  'outcome.interruptedEarly': 'Zadanie na kasie {device} nie zdążyło się zacząć, bo usługa się ' +
    'zatrzymała: nic nie wysłano, uruchom je jeszcze raz',
  'outcome.cancelled': 'Zadanie na kasie {device} anulowano',
  'outcome.unknown': 'Zadanie na kasie {device} nie powiodło się (status {exit})',
  'outcome.details': 'Szczegóły techniczne',
  'outcome.exit': 'status wyjścia {exit}',

  'pricelist.title': 'Cennik',
  'pricelist.file': 'Plik (CSV lub JSON)',
  'pricelist.choose': 'Wybierz plik…',
  'pricelist.noFile': 'nie wybrano pliku',
  'pricelist.mode': 'Sposób',
  'pricelist.sync': 'Synchronizacja',
  'pricelist.upload': 'Wysyłka',
  'pricelist.target': 'Dokąd',
  'pricelist.verify': 'Po wysłaniu odczytaj tabelę z kasy i porównaj',
  'pricelist.check': 'Sprawdź plik',
  'pricelist.preview': 'Podgląd zmian',
  'pricelist.send': 'Wyślij',
  'pricelist.readOnly': 'Ten token pozwala tylko oglądać: nie można wysyłać cenników.',
  'pricelist.hint.sync': 'Synchronizacja: kasa będzie mieć dokładnie ten cennik; artykuły, ' +
    'których nie ma w pliku, zostaną usunięte.',
  'pricelist.hint.upload': 'Wysyłka: artykuły z pliku zostaną zapisane, pozostałe w kasie ' +
    'zostaną bez zmian.',
  'check.checking': 'Sprawdzam {file}…',
  'check.ok': {
    one: '{file}: {n} artykuł, bez błędów.',
    few: '{file}: {n} artykuły, bez błędów.',
    many: '{file}: {n} artykułów, bez błędów.',
    other: '{file}: {n} artykułu, bez błędów.',
  },
  'check.warnings': {
    one: '{n} ostrzeżenie:', few: '{n} ostrzeżenia:', many: '{n} ostrzeżeń:', other: '{n} ostrzeżenia:',
  },
  'check.faults': {
    one: '{file} ma {n} błąd; nic nie można wysłać, dopóki nie zostanie poprawiony.',
    few: '{file} ma {n} błędy; nic nie można wysłać, dopóki nie zostaną poprawione.',
    many: '{file} ma {n} błędów; nic nie można wysłać, dopóki nie zostaną poprawione.',
    other: '{file} ma {n} błędu; nic nie można wysłać, dopóki nie zostaną poprawione.',
  },
  'check.faultsSent': {
    one: '{file} ma {n} błąd; nic nie wysłano.',
    few: '{file} ma {n} błędy; nic nie wysłano.',
    many: '{file} ma {n} błędów; nic nie wysłano.',
    other: '{file} ma {n} błędu; nic nie wysłano.',
  },
  'check.failed': 'Nie udało się sprawdzić pliku',
  'fault.at': 'Wiersz {row}, kolumna {column}:',
  'fault.atRow': 'Wiersz {row}:',
  'fault.missing': 'brak wartości',
  'fault.semicolon': 'zawiera średnik, który kasa odczytuje jako koniec pola',
  'fault.code_not_digits': 'kod „{value}” może składać się tylko z cyfr (od 1 do 14)',
  'fault.code_all_zeros': 'kod „{value}” składa się z samych zer',
  'fault.name_not_utf8': 'nazwa ma znaki w nieznanym kodowaniu: zapisz plik jako UTF-8 albo ' +
    'Windows-1250',
  'fault.name_empty': 'nazwa jest pusta',
  'fault.name_too_long': 'nazwa „{value}” ma {length} znaków, a kasa przyjmuje najwyżej {limit}',
  'fault.stand_in_letter': 'znak „{char}” kasa pokaże jako „{letter}”',
  'fault.char_not_shown': 'znaku „{char}” ({codepoint}) kasa nie potrafi pokazać',
  'fault.control_char': 'zawiera znak sterujący {codepoint}, którego kasa nie pokaże',
  'fault.thousands_separator': '„{value}” ma separator tysięcy: wpisz liczbę bez niego',
  'fault.not_an_amount': '„{value}” nie jest kwotą: dozwolone od {low} do {high}, najwyżej ' +
    '{places} miejsca po przecinku',
  'fault.not_a_whole_number': '„{value}” nie jest liczbą całkowitą od {low} do {high}',
  'column.code': 'kod',
  'column.name': 'nazwa',
  'column.price': 'cena',
  'column.flag': 'flaga',
  'column.group': 'grupa',
  'column.quantity': 'ilość',
  'column.value': 'wartość',

  'preview.working': 'Sprawdzam, co zmieniłaby synchronizacja: {target}…',
  'preview.none': 'Brak podglądu: {why}',
  'preview.same': 'Kasa ma już dokładnie ten cennik.',
  'preview.failed': 'Nie udało się przygotować podglądu',
  'preview.added': 'Nowe',
  'preview.changed': 'Zmienione',
  'preview.deleted': 'Do usunięcia',
  'preview.group': '{what} ({n})',
  'preview.summary': 'nowe: {added} · zmienione: {changed} · do usunięcia: {deleted}',
  'preview.code': 'Kod',
  'preview.name': 'Nazwa',
  'preview.change': 'Zmiana',
  'preview.more': 'Pokaż kolejne {count} (zostało {left})',
  'preview.newArticle': 'cena {price}',
  'preview.oldArticle': 'cena {price}',
  'preview.fieldChange': '{field}: {old} → {new}',
  'preview.groupValue': 'grupa {group}',

  'send.started': {
    one: '{file} jest wysyłany: {target} ({n} zadanie).',
    few: '{file} jest wysyłany: {target} ({n} zadania).',
    many: '{file} jest wysyłany: {target} ({n} zadań).',
    other: '{file} jest wysyłany: {target} ({n} zadania).',
  },
  'send.failed': 'Nie udało się wysłać cennika',

  'jobs.title': 'Bieżące zadania',
  'jobs.empty': 'Tu na żywo widać zadania uruchomione na tej stronie.',
  'batch.preview': 'Podgląd {file}: {target}',
  'batch.sync': 'Synchronizacja {file}: {target}',
  'batch.upload': 'Wysyłka {file}: {target}',
  'batch.closeDay': 'Zamknięcie dnia: {target}',

  'history.title': 'Historia zadań',
  'history.device': 'Kasa',
  'history.state': 'Stan',
  'history.day': 'Dzień',
  'history.by': 'Kto uruchomił',
  'history.all': 'Wszystkie',
  'history.anyone': 'Wszyscy',
  'history.clear': 'Wyczyść filtry',
  'history.more': 'Pokaż więcej',
  'history.refresh': 'Odśwież',
  'history.none': 'Żadne zadanie nie pasuje do tych filtrów.',
  'history.shown': {
    one: 'Pokazano {n} zadanie.', few: 'Pokazano {n} zadania.', many: 'Pokazano {n} zadań.',
    other: 'Pokazano {n} zadania.',
  },
  'history.failed': 'Nie udało się odczytać historii zadań',
  'history.col.id': 'Nr',
  'history.col.device': 'Kasa',
  'history.col.kind': 'Zadanie',
  'history.col.state': 'Stan',
  'history.col.by': 'Kto',
  'history.col.started': 'Początek',
  'history.col.took': 'Czas',
  'history.col.outcome': 'Wynik',

  'labels.title': 'Etykiety promocyjne',
  'labels.at': 'Ceny na chwilę',
  'labels.now': 'Teraz',
  'labels.days': 'Dni przed obniżką',
  'labels.target': 'Kasy',
  'labels.codes': 'Kody (opcjonalnie)',
  'labels.codesHint': 'np. 5900001000017, 5900001000024',
  'labels.show': 'Pokaż',
  'labels.excel': 'dla Excela (średniki i przecinki dziesiętne)',
  'labels.csv': 'Pobierz CSV',
  'labels.none': 'Żaden artykuł nie pasuje: kasy nie mają jeszcze zapisanych cen albo podane ' +
    'kody są inne.',
  'labels.summary': {
    one: 'Ceny na {when}: {n} artykuł, obniżonych: {k}.',
    few: 'Ceny na {when}: {n} artykuły, obniżonych: {k}.',
    many: 'Ceny na {when}: {n} artykułów, obniżonych: {k}.',
    other: 'Ceny na {when}: {n} artykułu, obniżonych: {k}.',
  },
  'labels.failed': 'Nie udało się odczytać cen',
  'labels.downloadFailed': 'Nie udało się pobrać pliku CSV z cenami',
  'labels.badCode': 'Kod „{code}” może składać się tylko z cyfr (od 1 do 14).',
  'labels.badDays': 'Liczba dni musi być liczbą całkowitą od 1 do 366.',
  'labels.badAt': 'Podaj datę i godzinę albo wybierz „Teraz”.',
  'labels.fileName': 'ceny-promocyjne.csv',
  'labels.col.code': 'Kod',
  'labels.col.name': 'Nazwa',
  'labels.col.device': 'Kasa',
  'labels.col.price': 'Cena teraz',
  'labels.col.lowest': 'Najniższa przed obniżką',
  'labels.col.reduction': 'Obniżka',
  'labels.lowestLabel': 'najniższa przed obniżką:',
  'labels.col.rule': 'Zasada',
  'labels.reduced': 'od {when}',
  'labels.stepped': 'stopniowa – liczona od pierwszej obniżki',
  'labels.notReduced': '—',
  'labels.noLowest': '—',
  'labels.historyTitle': 'Pokaż historię cen',
  'labels.rule.days': {
    one: 'najniższa z {n} dnia przed obniżką',
    other: 'najniższa z {n} dni przed obniżką',
  },
  'labels.rule.since_first_appeared': {
    one: 'od pojawienia się w sprzedaży (krócej niż {n} dzień)',
    other: 'od pojawienia się w sprzedaży (krócej niż {n} dni)',
  },
  'labels.rule.perishable': 'towar szybko psujący się: cena sprzed obniżki',
  'labels.rule.no_reduction': 'bez obniżki',

  'prices.title': 'Historia cen: {name} ({code})',
  'prices.close': 'Zamknij historię cen',
  'prices.caption': 'Cena na osi pionowej, czas na poziomej; każda kasa ma swoją linię ' +
    'schodkową. Przerwa w linii: artykułu nie było wtedy w kasie.',
  'prices.chartLabel': 'Historia cen artykułu {name} ({code})',
  'prices.none': 'Dla tego artykułu nie zapisano jeszcze żadnej ceny.',
  'prices.failed': 'Nie udało się odczytać historii cen',
  'prices.pointTip': '{device}: {price} od {when}',
  'prices.goneTip': '{device}: usunięty z kasy {when}',
  'prices.now': '{device}: teraz {price}',
  'prices.gone': '{device}: nie ma go w kasie',

  'close.title': 'Zamknięcie dnia',
  'close.target': 'Kasy',
  'close.button': 'Zamknij dzień teraz…',
  'close.confirmTitle': 'Zamknąć dzień?',
  'close.confirmText': 'Zamknąć teraz dzień: {target}{names}? Liczniki sprzedaży zostaną ' +
    'odczytane do raportu, a potem wyzerowane w kasie.',
  'close.names': ' ({names})',
  'close.cancel': 'Anuluj',
  'close.ok': 'Zamknij dzień i wyzeruj liczniki',
  'close.started': {
    one: 'Rozpoczęto zamknięcie dnia: {target} ({n} zadanie).',
    few: 'Rozpoczęto zamknięcie dnia: {target} ({n} zadania).',
    many: 'Rozpoczęto zamknięcie dnia: {target} ({n} zadań).',
    other: 'Rozpoczęto zamknięcie dnia: {target} ({n} zadania).',
  },
  'close.failed': 'Nie udało się rozpocząć zamknięcia dnia',

  'reports.of': 'Raporty z',
  'reports.all': 'Wszystkie kasy',
  'reports.refresh': 'Odśwież',
  'reports.none': 'Nie zapisano jeszcze żadnego zamknięcia dnia.',
  'reports.failed': 'Nie udało się odczytać raportów',
  'reports.openFailed': 'Nie udało się otworzyć raportu',
  'reports.downloadFailed': 'Nie udało się pobrać raportu',
  'reports.col.day': 'Dzień',
  'reports.col.device': 'Kasa',
  'reports.col.closed': 'Zamknięto',
  'reports.col.articles': 'Artykuły',
  'reports.col.quantity': 'Ilość',
  'reports.col.value': 'Wartość',
  'reports.col.counters': 'Liczniki',
  'reports.col.code': 'Kod',
  'reports.col.name': 'Nazwa',
  'reports.col.price': 'Cena',
  'reports.col.group': 'Grupa',
  'reports.open': 'Otwórz',
  'reports.csv': 'CSV',
  'reports.close': 'Zamknij raport',
  'reports.head': '{device} · {day}',
  'reports.summary': 'Zamknięto {when} · artykuły: {n} · ilość {q} · wartość {v} · liczniki ',
  'reports.fileName': 'raport-{device}-{day}.csv',

  'sales.title': 'Sprzedaż',
  'sales.from': 'Od',
  'sales.to': 'Do',
  'sales.device': 'Kasa',
  'sales.all': 'Wszystkie kasy',
  'sales.perDay': 'Obrót dzienny',
  'sales.best': 'Najlepiej sprzedające się artykuły',
  'sales.total': '{total} od {from} do {to}',
  'sales.none': 'Brak sprzedaży od {from} do {to}.',
  'sales.noArticles': 'W tym okresie nie sprzedano żadnego artykułu.',
  'sales.failed': 'Nie udało się odczytać sprzedaży',
  'sales.chartLabel': 'Obrót dzienny od {from} do {to}',
  'sales.bestLabel': 'Najlepiej sprzedające się artykuły',
  'sales.dayTip': '{day}: {value}',
  'sales.dayTipUnits': '{day}: {value}, {q} szt.',
  'sales.articleTip': '{name} ({code}): {q} szt., {value}',
  'sales.thousands': '{n} tys.',

  'money': '{amount} zł',
  'duration.s': '{s} s',
  'duration.ms': '{m} min {s} s',
  'duration.hm': '{h} h {m} min',
};

const en = {
  'app.title': 'velko · shop tills',
  'app.name': 'velko',
  'app.subtitle': '· shop tills',
  'lang.label': 'Language',
  'lang.pl': 'PL',
  'lang.en': 'EN',
  'lang.plName': 'Polish',
  'lang.enName': 'English',
  'role.operate': 'operator',
  'role.read': 'read only',
  'live.on': '● live',
  'live.off': '○ reconnecting…',
  'logout': 'Sign out',
  'message.close': 'Close message',

  'login.title': 'Sign in',
  'login.token': 'Access token',
  'login.remember': 'Remember on this device',
  'login.button': 'Sign in',
  'login.hint': 'Unticked, the token is kept only for this browser tab. Tick it only on a ' +
    'device that staff alone use.',
  'login.rejected': 'The service did not accept the token (401 Unauthorized). Enter a valid token.',
  'login.unavailable': 'The service cannot be used now: {error}',
  'service.unreachable': 'The service cannot be reached: {error}',
  'service.noAnswer': 'The service does not answer.',
  'service.readOnly': 'This token may only read (403 Forbidden): sending price lists and closing ' +
    'the day need an operator token.',
  'error.withStatus': '{what}: {error} ({status})',
  'error.plain': '{what}: {error}',

  'devices.title': 'Tills',
  'devices.none': 'The service has no tills.',
  'devices.loadFailed': 'The tills could not be read',
  'state.idle': 'ready',
  'state.busy': 'working',
  'state.unreachable': 'not answering',
  'state.unknown': 'state unknown',
  'device.line': 'Line',
  'device.lineValue': '{line} · no. {number} · {baud} Bd',
  'device.group': 'Group',
  'device.articles': 'Articles',
  'device.unknownCount': '—',
  'device.priceList': 'Price list',
  'device.priceListValue': 'version {version} from head office',
  'device.lastJob': 'Last job',
  'device.noJob': 'none',
  'device.lastClose': 'Close of day',
  'device.noClose': 'no close of day yet',
  'device.closeDay': 'Close day',
  'device.attention': 'Needs attention',
  'device.unreachableHint': 'Till {device} does not answer: check that it is switched on and connected',

  'reset.confirmed': 'counters zeroed',
  'reset.unconfirmed': '⚠ reset unconfirmed',
  'reset.pending': 'reset pending',
  'reset.not_sent': 'counters not zeroed',
  'reset.unconfirmedTitle': 'The till took the reset but never confirmed it: the counters may or ' +
    'may not be zeroed. The next close of day will tell.',

  'office.connected': 'Head office ({store} at {broker}): connected',
  'office.disconnected': 'Head office ({store} at {broker}): not connected, {problem}',
  'office.waiting': {
    one: '{n} day report waiting for head office\'s receipt',
    other: '{n} day reports waiting for head office\'s receipt',
  },
  'office.since': '(since {when})',
  'office.refused': 'refused by head office: {why}',

  'target.all': 'All tills ({n})',
  'target.groups': 'Groups',
  'target.group': 'Group {group} ({n})',
  'target.devices': 'Tills',
  'target.allText': 'all tills',
  'target.groupText': 'group {group}',

  'kind.upload': 'Price list upload',
  'kind.sync': 'Sync',
  'kind.verify': 'Till check',
  'kind.download': 'Article download',
  'kind.delete': 'Article deletion',
  'kind.zero-counters': 'Counter reset',
  'kind.close-day': 'Close of day',
  'kind.scan': 'Till search',
  'kind.preview': 'Sync preview',
  'jobState.queued': 'queued',
  'jobState.running': 'running',
  'jobState.done': 'done',
  'jobState.failed': 'failed',
  'jobState.interrupted': 'interrupted',
  'jobState.cancelled': 'cancelled',
  'by.schedule': 'schedule',
  'by.head-office': 'head office',
  'by.nobody': '—',

  'counts.accepted': '{n} accepted',
  'counts.refused': '{n} refused',
  'counts.received': '{n} received',
  'counts.deleted': '{n} deleted',
  'counts.articles': {one: '{n} article', other: '{n} articles'},
  'counts.quantity': 'quantity {q}',
  'counts.value': 'value {v}',
  'counts.added': '{n} added',
  'counts.changed': '{n} changed',
  'counts.unchanged': '{n} unchanged',
  'counts.leftAlone': '{n} left alone',
  'counts.missing': '{n} missing',
  'counts.differ': '{n} differ',
  'counts.extra': '{n} extra',
  'counts.match': '{n} match',
  'counts.found': '{n} found',
  'counts.join': ', ',
  'counts.wouldBe': 'would be {counts}',

  'outcome.done': 'Done without faults',
  'outcome.scanNone': 'No till answered on the line of till {device}: check that the tills are ' +
    'switched on and connected',
  'outcome.notRecorded': 'The job on till {device} could not be written to the job log: check ' +
    'the free disk space on the server',
  'outcome.badInput': 'The price list file has faults, so nothing was sent to till {device}: ' +
    'correct the file and send it again',
  'outcome.refused': 'Till {device} refused some articles: check their codes, prices and groups',
  'outcome.reportNotSaved': 'The report of till {device} could not be saved, so its counters were ' +
    'not zeroed: check the disk space on the server and close the day again',
  'outcome.resetUnconfirmed': 'Till {device} did not confirm zeroing its counters: they may or ' +
    'may not be zeroed; the next close of day will tell',
  'outcome.notWritten': 'What was read from till {device} could not be saved on the server: ' +
    'check the disk space',
  'outcome.mismatch': 'Till {device} holds other articles than the price list: send the price ' +
    'list again (sync)',
  'outcome.abort': 'Reading till {device} was stopped before the end of its article list',
  'outcome.open': 'Till {device} does not answer: check that it is switched on and connected',
  'outcome.send': 'Till {device} did not acknowledge the data: check the cable, the line speed ' +
    'and the till number',
  'outcome.read': 'Till {device} did not answer in time, or refused: check the cable, the line ' +
    'speed and the till number',
  'outcome.format': 'Till {device} could not take the data, or its answer could not be read: ' +
    'check the articles and the line settings',
  'outcome.crc': 'Data from till {device} arrived damaged: check the cable; a long or ' +
    'unshielded cable picks up noise',
  'outcome.port': 'Till {device} has a wrong port number in the configuration: tell your ' +
    'administrator',
  'outcome.address': 'Till {device} has a wrong till number in the configuration (0 to 99 ' +
    'allowed): tell your administrator',
  'outcome.handle': 'An internal fault with till {device}: run the job again, and if it happens ' +
    'again tell your administrator',
  'outcome.interrupted': 'The job on till {device} was interrupted because the service stopped: ' +
    'check the till before running it again',
  'outcome.interruptedEarly': 'The job on till {device} had not started when the service ' +
    'stopped: nothing was sent; run it again',
  'outcome.cancelled': 'The job on till {device} was cancelled',
  'outcome.unknown': 'The job on till {device} failed (status {exit})',
  'outcome.details': 'Technical details',
  'outcome.exit': 'exit status {exit}',

  'pricelist.title': 'Price list',
  'pricelist.file': 'File (CSV or JSON)',
  'pricelist.choose': 'Choose a file…',
  'pricelist.noFile': 'no file chosen',
  'pricelist.mode': 'How',
  'pricelist.sync': 'Sync',
  'pricelist.upload': 'Upload',
  'pricelist.target': 'To',
  'pricelist.verify': 'Read the table back and compare afterwards',
  'pricelist.check': 'Check file',
  'pricelist.preview': 'Preview changes',
  'pricelist.send': 'Send',
  'pricelist.readOnly': 'This token may only read: price lists cannot be sent.',
  'pricelist.hint.sync': 'Sync: the till ends up with exactly this list; articles the file ' +
    'does not name are deleted.',
  'pricelist.hint.upload': 'Upload: the articles of the file are written; the others on the ' +
    'till stay.',
  'check.checking': 'Checking {file}…',
  'check.ok': {one: '{file}: {n} article, no faults.', other: '{file}: {n} articles, no faults.'},
  'check.warnings': {one: '{n} warning:', other: '{n} warnings:'},
  'check.faults': {
    one: '{file} has {n} fault; nothing can be sent until it is corrected.',
    other: '{file} has {n} faults; nothing can be sent until they are corrected.',
  },
  'check.faultsSent': {
    one: '{file} has {n} fault; nothing was sent.',
    other: '{file} has {n} faults; nothing was sent.',
  },
  'check.failed': 'The file could not be checked',
  'fault.at': 'Row {row}, column {column}:',
  'fault.atRow': 'Row {row}:',
  'fault.missing': 'the value is missing',
  'fault.semicolon': 'it holds a semicolon, which the till reads as the end of a field',
  'fault.code_not_digits': 'the code "{value}" may only be digits (1 to 14 of them)',
  'fault.code_all_zeros': 'the code "{value}" is all zeros',
  'fault.name_not_utf8': 'the name has characters in an unknown encoding: save the file as ' +
    'UTF-8 or Windows-1250',
  'fault.name_empty': 'the name is empty',
  'fault.name_too_long': 'the name "{value}" has {length} characters; the till takes at most {limit}',
  'fault.stand_in_letter': 'the till shows the character "{char}" as "{letter}"',
  'fault.char_not_shown': 'the till cannot show the character "{char}" ({codepoint})',
  'fault.control_char': 'holds the control character {codepoint}, which the till cannot show',
  'fault.thousands_separator': '"{value}" has a thousands separator: write the number without it',
  'fault.not_an_amount': '"{value}" is not an amount from {low} to {high} with at most ' +
    '{places} decimal places',
  'fault.not_a_whole_number': '"{value}" is not a whole number from {low} to {high}',
  'column.code': 'code',
  'column.name': 'name',
  'column.price': 'price',
  'column.flag': 'flag',
  'column.group': 'group',
  'column.quantity': 'quantity',
  'column.value': 'value',

  'preview.working': 'Working out what a sync would change: {target}…',
  'preview.none': 'No preview: {why}',
  'preview.same': 'The till already holds exactly this price list.',
  'preview.failed': 'The preview could not be made',
  'preview.added': 'Added',
  'preview.changed': 'Changed',
  'preview.deleted': 'Deleted',
  'preview.group': '{what} ({n})',
  'preview.summary': '{added} added · {changed} changed · {deleted} deleted',
  'preview.code': 'Code',
  'preview.name': 'Name',
  'preview.change': 'Change',
  'preview.more': 'Show {count} more ({left} left)',
  'preview.newArticle': 'price {price}',
  'preview.oldArticle': 'price {price}',
  'preview.fieldChange': '{field}: {old} → {new}',
  'preview.groupValue': 'group {group}',

  'send.started': {
    one: '{file} is being sent: {target} ({n} job).',
    other: '{file} is being sent: {target} ({n} jobs).',
  },
  'send.failed': 'The price list could not be sent',

  'jobs.title': 'Current jobs',
  'jobs.empty': 'Jobs you start here are followed live in this list.',
  'batch.preview': 'Preview of {file}: {target}',
  'batch.sync': 'Sync of {file}: {target}',
  'batch.upload': 'Upload of {file}: {target}',
  'batch.closeDay': 'Close of day: {target}',

  'history.title': 'Job history',
  'history.device': 'Till',
  'history.state': 'State',
  'history.day': 'Day',
  'history.by': 'Started by',
  'history.all': 'All',
  'history.anyone': 'Anyone',
  'history.clear': 'Clear filters',
  'history.more': 'Show more',
  'history.refresh': 'Refresh',
  'history.none': 'No job matches these filters.',
  'history.shown': {one: '{n} job shown.', other: '{n} jobs shown.'},
  'history.failed': 'The job history could not be read',
  'history.col.id': 'No.',
  'history.col.device': 'Till',
  'history.col.kind': 'Job',
  'history.col.state': 'State',
  'history.col.by': 'By',
  'history.col.started': 'Started',
  'history.col.took': 'Took',
  'history.col.outcome': 'Outcome',

  'labels.title': 'Promotion labels',
  'labels.at': 'Prices as at',
  'labels.now': 'Now',
  'labels.days': 'Days before a reduction',
  'labels.target': 'Tills',
  'labels.codes': 'Codes (optional)',
  'labels.codesHint': 'e.g. 5900001000017, 5900001000024',
  'labels.show': 'Show',
  'labels.excel': 'for Excel (semicolons and decimal commas)',
  'labels.csv': 'Download CSV',
  'labels.none': 'No article matches: no prices are recorded for these tills yet, or the codes ' +
    'given differ.',
  'labels.summary': {
    one: 'Prices as at {when}: {n} article, {k} reduced.',
    other: 'Prices as at {when}: {n} articles, {k} reduced.',
  },
  'labels.failed': 'The prices could not be read',
  'labels.downloadFailed': 'The price CSV could not be downloaded',
  'labels.badCode': 'The code "{code}" may only be digits (1 to 14 of them).',
  'labels.badDays': 'The days must be a whole number from 1 to 366.',
  'labels.badAt': 'Give a date and time, or choose "Now".',
  'labels.fileName': 'promotion-prices.csv',
  'labels.col.code': 'Code',
  'labels.col.name': 'Name',
  'labels.col.device': 'Till',
  'labels.col.price': 'Price now',
  'labels.col.lowest': 'Lowest before the reduction',
  'labels.col.reduction': 'Reduction',
  'labels.lowestLabel': 'lowest before the reduction:',
  'labels.col.rule': 'Rule',
  'labels.reduced': 'since {when}',
  'labels.stepped': 'in steps, counted from the first',
  'labels.notReduced': '—',
  'labels.noLowest': '—',
  'labels.historyTitle': 'Show the price history',
  'labels.rule.days': {
    one: 'lowest of the {n} day before the reduction',
    other: 'lowest of the {n} days before the reduction',
  },
  'labels.rule.since_first_appeared': {
    one: 'since it went on sale (under {n} day)',
    other: 'since it went on sale (under {n} days)',
  },
  'labels.rule.perishable': 'perishable: the price just before the reduction',
  'labels.rule.no_reduction': 'no reduction',

  'prices.title': 'Price history: {name} ({code})',
  'prices.close': 'Close the price history',
  'prices.caption': 'Price up the side, time along the bottom; each till has its own step ' +
    'line. A gap in a line: the article was not on that till then.',
  'prices.chartLabel': 'Price history of {name} ({code})',
  'prices.none': 'No price of this article has been recorded yet.',
  'prices.failed': 'The price history could not be read',
  'prices.pointTip': '{device}: {price} from {when}',
  'prices.goneTip': '{device}: removed from the till {when}',
  'prices.now': '{device}: now {price}',
  'prices.gone': '{device}: no longer on the till',

  'close.title': 'Close of day',
  'close.target': 'Tills',
  'close.button': 'Close day now…',
  'close.confirmTitle': 'Close the day?',
  'close.confirmText': 'Close the day now: {target}{names}? The sales counters are read into a ' +
    'report and then zeroed on the till.',
  'close.names': ' ({names})',
  'close.cancel': 'Cancel',
  'close.ok': 'Close day and zero counters',
  'close.started': {
    one: 'Close of day started: {target} ({n} job).',
    other: 'Close of day started: {target} ({n} jobs).',
  },
  'close.failed': 'The close of day could not be started',

  'reports.of': 'Reports of',
  'reports.all': 'All tills',
  'reports.refresh': 'Refresh',
  'reports.none': 'No close of day has been saved yet.',
  'reports.failed': 'The reports could not be read',
  'reports.openFailed': 'The report could not be opened',
  'reports.downloadFailed': 'The report could not be downloaded',
  'reports.col.day': 'Business day',
  'reports.col.device': 'Till',
  'reports.col.closed': 'Closed',
  'reports.col.articles': 'Articles',
  'reports.col.quantity': 'Quantity',
  'reports.col.value': 'Value',
  'reports.col.counters': 'Counters',
  'reports.col.code': 'Code',
  'reports.col.name': 'Name',
  'reports.col.price': 'Price',
  'reports.col.group': 'Group',
  'reports.open': 'Open',
  'reports.csv': 'CSV',
  'reports.close': 'Close report',
  'reports.head': '{device} · {day}',
  'reports.summary': 'Closed {when} · {n} articles · quantity {q} · value {v} · counters ',
  'reports.fileName': 'report-{device}-{day}.csv',

  'sales.title': 'Sales',
  'sales.from': 'From',
  'sales.to': 'To',
  'sales.device': 'Till',
  'sales.all': 'All tills',
  'sales.perDay': 'Turnover per day',
  'sales.best': 'Best-selling articles',
  'sales.total': '{total} from {from} to {to}',
  'sales.none': 'No sales recorded from {from} to {to}.',
  'sales.noArticles': 'No article sold in this period.',
  'sales.failed': 'The sales could not be read',
  'sales.chartLabel': 'Turnover per day, {from} to {to}',
  'sales.bestLabel': 'Best-selling articles',
  'sales.dayTip': '{day}: {value}',
  'sales.dayTipUnits': '{day}: {value}, {q} units',
  'sales.articleTip': '{name} ({code}): {q} units, {value}',
  'sales.thousands': '{n}k',

  'money': '{amount} zł',
  'duration.s': '{s} s',
  'duration.ms': '{m} min {s} s',
  'duration.hm': '{h} h {m} min',
};

export const catalogues = {pl, en};

// Intl locales: English dates as "9 Dec 2026", which no reader takes for the 12th of September.
const LOCALE = {pl: 'pl-PL', en: 'en-GB'};
const STORE_KEY = 'velko.lang';

// A saved choice first; otherwise the first of the browser's languages that the page speaks.
function initialLanguage() {
  try {
    const saved = localStorage.getItem(STORE_KEY);
    if (saved && catalogues[saved]) return saved;
  } catch (_) {
    // Storage may be refused (a private window's policy): the browser's languages decide.
  }
  const wanted = (navigator.languages && navigator.languages.length) ? navigator.languages :
    [navigator.language || 'en'];
  for (const tag of wanted) {
    const primary = String(tag).toLowerCase().split('-')[0];
    if (catalogues[primary]) return primary;
  }
  return 'en';
}

let current = initialLanguage();
const listeners = [];

export function lang() {
  return current;
}

export function locale() {
  return LOCALE[current];
}

export function onLanguage(fn) {
  listeners.push(fn);
}

export function setLang(code, remember = true) {
  if (!catalogues[code]) return;
  if (remember) {
    try {
      localStorage.setItem(STORE_KEY, code);
    } catch (_) {
      // Not remembered; this visit is still in the chosen language.
    }
  }
  if (code === current) return;
  current = code;
  applyDom();
  for (const fn of listeners) {
    try {
      fn(code);
    } catch (error) {
      console.error(error);
    }
  }
}

const pluralRules = {};
function pluralForm(value, n) {
  if (typeof value === 'string') return value;
  const rules = pluralRules[current] ||= new Intl.PluralRules(LOCALE[current]);
  return value[rules.select(Number(n))] ?? value.other ?? Object.values(value)[0];
}

// t('check.ok', {file: 'a.csv', n: 4}). A key missing in the language falls back to English,
// then to the key itself, so a gap shows as what it is rather than as nothing.
export function t(key, params = {}) {
  let value = catalogues[current][key] ?? catalogues.en[key];
  if (value === undefined) return key;
  value = pluralForm(value, params.n);
  return value.replace(/\{(\w+)\}/g, (all, name) => {
    if (!(name in params)) return all;
    const v = params[name];
    if (name === 'n' && typeof v === 'number') return formatInteger(v);
    return v === null || v === undefined ? '' : String(v);
  });
}

export function has(key) {
  return key in catalogues[current] || key in catalogues.en;
}

// Numbers --------------------------------------------------------------------------------------

const numberFormats = new Map();
function numberFormat(min, max) {
  const key = `${current}:${min}:${max}`;
  if (!numberFormats.has(key)) {
    const options = {minimumFractionDigits: min, maximumFractionDigits: max};
    // "1 234,50": grouped from the thousands as shop staff write sums (Polish would otherwise
    // leave four-digit amounts ungrouped).
    try {
      numberFormats.set(key, new Intl.NumberFormat(LOCALE[current], {...options, useGrouping: 'always'}));
    } catch (_) {
      numberFormats.set(key, new Intl.NumberFormat(LOCALE[current], options));
    }
  }
  return numberFormats.get(key);
}

export function formatInteger(n) {
  return numberFormat(0, 0).format(n);
}

// A decimal text from the service ("1234.5", "-0.50") in the language, with `places` decimals
// at least. The text goes to Intl as it is, so no float rounding creeps into a till's figure.
export function formatDecimal(text, places = 2, maxPlaces = places) {
  if (text === null || text === undefined || text === '') return '';
  const clean = String(text).trim().replace(',', '.');
  if (!/^[+-]?(\d+\.?\d*|\.\d+)$/.test(clean)) return String(text);
  const fraction = (clean.split('.')[1] || '').length;
  const format = numberFormat(places, Math.max(maxPlaces, Math.min(fraction, 20)));
  try {
    return format.format(clean);
  } catch (_) {
    return format.format(Number(clean));
  }
}

export function formatMoney(text) {
  const amount = formatDecimal(text, 2);
  return amount === '' ? '' : t('money', {amount});
}

// A quantity: whole units without decimals, weighed goods with as many as they have.
export function formatQuantity(text) {
  if (text === null || text === undefined || text === '') return '';
  const clean = String(text).trim().replace(/(\.\d*?)0+$/, '$1').replace(/\.$/, '');
  return formatDecimal(clean, 0, 3);
}

// Dates -----------------------------------------------------------------------------------------

function dateFormat(options) {
  return new Intl.DateTimeFormat(LOCALE[current], options);
}

const DAY_OPTIONS = {
  pl: {day: 'numeric', month: 'numeric', year: 'numeric'},
  en: {day: 'numeric', month: 'short', year: 'numeric'},
};

// A calendar day ("2026-12-09") as the language writes it: 9.12.2026, 9 Dec 2026.
export function formatDay(day) {
  if (!/^\d{4}-\d{2}-\d{2}$/.test(day || '')) return day || '';
  const date = new Date(`${day}T00:00:00Z`);
  if (Number.isNaN(date.getTime())) return day;
  return dateFormat({...DAY_OPTIONS[current], timeZone: 'UTC'}).format(date);
}

// An instant in local time; `seconds` false leaves them out.
export function formatWhen(iso, seconds = false) {
  if (!iso) return '';
  const date = iso instanceof Date ? iso : new Date(iso);
  if (Number.isNaN(date.getTime())) return String(iso);
  return dateFormat({...DAY_OPTIONS[current], hour: '2-digit', minute: '2-digit',
    second: seconds ? '2-digit' : undefined}).format(date);
}

export function formatDuration(seconds) {
  const s = Math.max(0, Math.round(seconds));
  if (s < 60) return t('duration.s', {s});
  if (s < 3600) return t('duration.ms', {m: Math.floor(s / 60), s: s % 60});
  return t('duration.hm', {h: Math.floor(s / 3600), m: Math.floor(s % 3600 / 60)});
}

// The page's fixed texts --------------------------------------------------------------------

// data-i18n="key" sets an element's text; data-i18n-attr="attribute:key;..." its attributes
// (aria-label, title, label of an optgroup).
export function applyDom(root = document) {
  document.documentElement.lang = current;
  if (root === document) document.title = t('app.title');
  for (const el of root.querySelectorAll('[data-i18n]')) el.textContent = t(el.dataset.i18n);
  for (const el of root.querySelectorAll('[data-i18n-attr]')) {
    for (const pair of el.dataset.i18nAttr.split(';')) {
      const [attr, key] = pair.split(':').map(s => s.trim());
      if (attr && key) el.setAttribute(attr, t(key));
    }
  }
}
