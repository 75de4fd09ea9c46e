// The C# wrapper against velko-sim, under mono: the record's layout, a round trip of Polish
// names checked against the velko tool's own reading of the device, counts and progress, the
// device's refusals with their detail, articles and codes refused before anything is sent,
// enumerations left early, a Line disposed under a job, and delegates kept alive through
// collections. Arguments: the velko-sim program, the velko tool, the header's version.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using Velko;

static class VelkoTest
{
    static int passed, failed;

    static void Check(bool ok, string what, object got = null)
    {
        if (ok) ++passed;
        else ++failed;
        Console.WriteLine((ok ? "ok: " : "FAILED: ") + what +
                          (ok || got == null ? "" : "\n    got: " + got));
    }

    static T Throws<T>(string what, Action action) where T : Exception
    {
        try
        {
            action();
        }
        catch (T e)
        {
            Check(true, what);
            return e;
        }
        catch (Exception e)
        {
            Check(false, what, e.GetType().Name + ": " + e.Message);
            return null;
        }
        Check(false, what, "nothing thrown");
        return null;
    }

    // An IProgress that runs at once on the reporting thread (System.Progress would post).
    sealed class Reporter : IProgress<int>
    {
        readonly Action<int> action;
        public Reporter(Action<int> action) { this.action = action; }
        public void Report(int value) { action(value); }
    }

    sealed class Simulator : IDisposable
    {
        readonly Process process;
        public readonly string Path;

        public Simulator(string program, string arguments)
        {
            var start = new ProcessStartInfo(program, "--zero-delay 0 " + arguments) {
                UseShellExecute = false, RedirectStandardInput = true,
                RedirectStandardOutput = true };
            process = Process.Start(start);
            Path = process.StandardOutput.ReadLine().Trim();
        }

        public void Sell(string code, string quantity)
        {
            process.StandardInput.WriteLine("sell " + code + " " + quantity);
            process.StandardInput.Flush();
            System.Threading.Thread.Sleep(200);  // the simulator reads its input on its own
        }

        public void Dispose()
        {
            process.Kill();
            process.WaitForExit();
            process.Dispose();
        }
    }

    static string Tool(string tool, string line)
    {
        var start = new ProcessStartInfo(tool, "--line " + line + " download -o -") {
            UseShellExecute = false, RedirectStandardOutput = true,
            StandardOutputEncoding = new UTF8Encoding(false) };
        using (Process p = Process.Start(start))
        {
            string csv = p.StandardOutput.ReadToEnd();
            p.WaitForExit();
            return p.ExitCode == 0 ? csv : "exit " + p.ExitCode;
        }
    }

    static string Shown(IEnumerable<Article> articles)
    {
        return string.Join(" | ", articles.Select(a => a.ToString()).ToArray());
    }

    static readonly Article[] Three = {
        new Article("5900001000017", "CHLEB ŻYTNI", 4.50m),
        new Article("5900001000031", "MASŁO EKSTRA 200G", 7.99m, flag: 1, group: 2),
        new Article("42", "ŹDŹBŁO", 0.10m, group: 128),
    };

    static int Main(string[] args)
    {
        string simulator = args[0], tool = args[1], version = args[2];
        Check(Library.Version == version, "Library.Version is the header's " + version,
              Library.Version);

        Type record = typeof(Line).Assembly.GetType("Velko.Record");
        Check(Marshal.SizeOf(record) == 48, "the record is 48 bytes", Marshal.SizeOf(record));
        var offsets = new[] { "Code", "Name", "Price", "Flag", "Group", "Quantity", "Value" }
            .Select(f => f + "@" + Marshal.OffsetOf(record, f)).ToArray();
        Check(string.Join(" ", offsets) == "Code@0 Name@15 Price@34 Flag@38 Group@39 Quantity@40 Value@44",
              "the record's fields lie where velko.h has them", string.Join(" ", offsets));

        string trace = System.IO.Path.GetTempFileName();
        using (var sim = new Simulator(simulator, "--refuse 999"))
        {
            RoundTrip(sim, tool);
            RefusedBeforeSending(sim, trace);
            Refusals(sim);
            Cancelled(sim);
            LeftEarlyAndDisposed(sim);
        }
        File.Delete(trace);

        Throws<ArgumentOutOfRangeException>("device 100 is refused", () => new Line("COM1", device: 100));
        Throws<ArgumentException>("an empty line is refused", () => new Line(""));
        using (var nowhere = new Line("/nonexistent/velko-tty"))
        {
            var e = Throws<VelkoException>("a line that does not open", nowhere.ZeroCounters);
            if (e != null)
            {
                Check(e.Code == ResultCode.Open && e.Detail != null &&
                          e.Detail.Contains("/nonexistent/velko-tty") &&
                          e.Message == "VELKO_ERR_OPEN: " + e.Detail,
                      "why a line would not open reaches the exception", e.Message);
            }
        }

        Console.WriteLine(passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }

    static void RoundTrip(Simulator sim, string tool)
    {
        using (var line = new Line(sim.Path))
        {
            var done = new List<int>();
            // Collections in every callback: the delegates must outlive them.
            var collecting = new Reporter(n => { done.Add(n); GC.Collect(); GC.WaitForPendingFinalizers(); });
            Counts counts = line.Upload(Three, UploadOptions.None, collecting);
            Check(counts.Accepted == 3 && counts.Refused == 0, "three articles uploaded");
            Check(string.Join(",", done) == "1,2,3", "upload progress 1,2,3", string.Join(",", done));

            sim.Sell("5900001000017", "2.5");
            done.Clear();
            List<Article> back = line.Download(collecting).ToList();
            Check(done.Count == 3 && done.Last() == 3, "download progress to 3", string.Join(",", done));
            Check(Shown(back) == "42;ŹDŹBŁO;0.10;0;128;0.000;0.00 | " +
                                 "5900001000017;CHLEB ŻYTNI;4.50;0;1;2.500;11.25 | " +
                                 "5900001000031;MASŁO EKSTRA 200G;7.99;1;2;0.000;0.00",
                  "names, prices, flags, groups and counters come back as uploaded", Shown(back));
            // The velko tool reads the device's Windows-1250 bytes with iconv, not our table.
            string csv = Tool(tool, sim.Path);
            Check(csv.Contains("5900001000017,CHLEB ŻYTNI,4.50,0,1,") &&
                      csv.Contains("5900001000031,MASŁO EKSTRA 200G,7.99,1,2,") &&
                      csv.Contains("42,ŹDŹBŁO,0.10,0,128,"),
                  "the velko tool reads the same names from the device", csv);

            line.ZeroCounters();
            Check(line.Download().All(a => a.Quantity == 0 && a.Value == 0), "counters zeroed");

            var edges = new[] { new Article("1", "ŻÓŁW Ą-Z 100% *#!/", -21474836.48m, 1, 0),
                                new Article("99999999999999", "X", 21474836.47m, 0, 128) };
            Check(line.Upload(edges).Accepted == 2, "the edges of every field upload");
            Check(Shown(line.Download().Where(a => a.Code == "1" || a.Code == "99999999999999")) ==
                      "1;ŻÓŁW Ą-Z 100% *#!/;-21474836.48;1;0;0.000;0.00 | " +
                      "99999999999999;X;21474836.47;0;128;0.000;0.00",
                  "and come back the same", Shown(line.Download()));
            Check(line.Delete(new[] { "1", "99999999999999" }) == 2, "the edges deleted");
        }
    }

    static void RefusedBeforeSending(Simulator sim, string trace)
    {
        var fresh = new Article("777", "NOWY", 1m);  // on the device only if checked too late
        var bad = new[] {  // the second article, what the message must hold
            Tuple.Create(new Article("778", "KAWA (250G)", 1m), "name 'KAWA (250G)': '(' would come back as 'Ę'"),
            Tuple.Create(new Article("778", "CAFÉ", 1m), "'É' (U+00C9) is not a character the device shows"),
            Tuple.Create(new Article("778", "ЧАЙ", 1m), "'Ч' (U+0427)"),
            Tuple.Create(new Article("778", "MLEKO;3,2%", 1m), "';'"),
            Tuple.Create(new Article("778", "TAB\tX", 1m), "byte 0x09"),
            Tuple.Create(new Article("778", "AB\0CD", 1m), "NUL"),
            Tuple.Create(new Article("778", new string('X', 19), 1m), "has 19 characters"),
            Tuple.Create(new Article("778", "", 1m), "name '' has 0 characters"),
            Tuple.Create(new Article("778", null, 1m), "name is null"),
            Tuple.Create(new Article("000", "X", 1m), "code '000' is all zeros"),
            Tuple.Create(new Article("123456789012345", "X", 1m), "code '123456789012345' is not 1 to 14 digits"),
            Tuple.Create(new Article("12A", "X", 1m), "code '12A'"),
            Tuple.Create(new Article("١٢", "X", 1m), "is not 1 to 14 digits"),
            Tuple.Create(new Article("0777", "X", 1m), "code '0777' is the code of articles[0] too"),
            Tuple.Create(new Article("778", "X", 4.505m), "price 4.505 has more than two decimals"),
            Tuple.Create(new Article("778", "X", 21474836.48m), "price 21474836.48 is not from"),
            Tuple.Create(new Article("778", "X", -21474836.49m), "price -21474836.49 is not from"),
            Tuple.Create(new Article("778", "X", 1m, flag: 2), "flag 2 is not 0 or 1"),
            Tuple.Create(new Article("778", "X", 1m, group: 129), "group 129 is not from 0 to 128"),
            Tuple.Create(new Article("778", "X", 1m, group: -1), "group -1 is not from 0 to 128"),
        };
        using (var line = new Line(sim.Path))
        {
            line.SetTrace(trace);
            long before = new FileInfo(trace).Length;
            foreach (var c in bad)
            {
                var e = Throws<ArgumentException>("refused: " + c.Item2, () =>
                    line.Upload(new[] { fresh, c.Item1 }, UploadOptions.ContinueOnRefusal));
                if (e != null)
                {
                    Check(e.Message.StartsWith("articles[1]: ") && e.Message.Contains(c.Item2) &&
                              e.ParamName == "articles",
                          "refused naming the article, field and value: " + c.Item2, e.Message);
                }
            }
            Throws<ArgumentNullException>("a null article", () => line.Upload(new Article[] { fresh, null }));
            foreach (var codes in new[] { new[] { "5900001000017", "12a" }, new[] { "0" }, new string[] { null } })
            {
                var e = Throws<ArgumentException>("deletion refused: " + string.Join(",", codes),
                                                  () => line.Delete(codes));
                if (e != null)
                {
                    Check(e.ParamName == "codes" && e.Message.StartsWith("codes[" + (codes.Length - 1) + "]: code"),
                          "the deletion's bad code named", e.Message);
                }
            }
            Check(new FileInfo(trace).Length == before, "nothing reached the line",
                  new FileInfo(trace).Length + " bytes of trace, not " + before);
            Check(Shown(line.Download().Select(a => new Article(a.Code, a.Name, a.Price))) ==
                      "42;ŹDŹBŁO;0.10;0;1;0;0 | 5900001000017;CHLEB ŻYTNI;4.50;0;1;0;0 | " +
                      "5900001000031;MASŁO EKSTRA 200G;7.99;0;1;0;0",
                  "the device holds what it held", Shown(line.Download()));
            Check(new FileInfo(trace).Length > before, "the trace shows the download that followed");
            line.SetTrace(null);
        }
    }

    static void Refusals(Simulator sim)
    {
        var four = Three.Concat(new[] { new Article("999", "ODRZUCONY", 1m) }).ToList();
        using (var line = new Line(sim.Path))
        {
            var e = Throws<VelkoException>("the device refuses code 999", () => line.Upload(four));
            if (e != null)
            {
                Check(e.Code == ResultCode.Read && e.Counts.Accepted == 3 &&
                          e.Detail == "article 3: the device refused code 999 (answered 'E')" &&
                          e.Message == "VELKO_ERR_READ: " + e.Detail,
                      "the refusal's detail and counts reach the exception", e.Message);
            }
            var done = new List<int>();
            VelkoException busy = null;
            Counts counts = line.Upload(four, UploadOptions.ContinueOnRefusal, new Reporter(n => {
                done.Add(n);
                if (n == 1) busy = Throws<VelkoException>("a second job on a busy Line", line.ZeroCounters);
            }));
            Check(counts.Accepted == 3 && counts.Refused == 1 && string.Join(",", done) == "1,2,3,4",
                  "going on after a refusal", counts.Accepted + "/" + counts.Refused + " " + string.Join(",", done));
            Check(busy != null && busy.Code == ResultCode.Open, "a Line runs one job at a time");

            Counts deleted = line.Delete(new[] { "77" }.Concat(Three.Select(a => a.Code)), true);
            Check(deleted.Deleted == 3 && deleted.Refused == 1, "the three deleted, 77 refused and gone past",
                  deleted.Deleted + "/" + deleted.Refused);
            Check(!line.Download().Any(), "the device is empty");
            e = Throws<VelkoException>("deleting what is gone", () => line.Delete(new[] { "5900001000017" }));
            if (e != null)
            {
                Check(e.Code == ResultCode.Read && e.Counts.Deleted == 0 &&
                          e.Detail == "the device refused to delete code 5900001000017 (answered 'E')" &&
                          e.Message == "VELKO_ERR_READ: " + e.Detail,
                      "a refused deletion's detail reaches the exception", e.Message);
            }
            var thrown = new InvalidOperationException("from progress");
            var again = Throws<InvalidOperationException>("an exception in progress comes out", () =>
                line.Upload(Three, UploadOptions.None, new Reporter(n => { throw thrown; })));
            Check(again == thrown, "the same exception");
            Check(line.Download().Count() == 1, "and the upload ended at the next article",
                  Shown(line.Download()));
        }
    }

    // Cancel from another thread, and a CancellationToken: each job stops at its next article.
    static void Cancelled(Simulator sim)
    {
        using (var line = new Line(sim.Path))
        {
            // The device holds the first of the three (from the refusals before).
            line.Cancel();  // no job runs: nothing to stop, now or later
            var e = Throws<VelkoException>("Cancel from another thread stops the upload", () =>
                line.Upload(Three, UploadOptions.None, new Reporter(n => {
                    if (n == 1)
                    {
                        var other = new Thread(line.Cancel);
                        other.Start();
                        other.Join();
                    }
                })));
            if (e != null)
            {
                Check(e.Code == ResultCode.Abort && e.Counts.Accepted == 1 &&
                          e.Detail.Contains("cancelled"),
                      "at the next article, with its counts and why", e.Message);
            }
            Check(string.Join(",", line.Download().Select(a => a.Code)) == Three[0].Code,
                  "what was uploaded before the cancel stays", Shown(line.Download()));
            line.Upload(Three);
            using (var source = new CancellationTokenSource())
            {
                Throws<OperationCanceledException>("a cancelled token stops the download", () =>
                    line.Download(new Reporter(n => source.Cancel()), source.Token).ToList());
            }
            Check(line.Delete(Three.Skip(1).Select(a => a.Code)) == 2, "and the line works on");
        }
    }

    static void LeftEarlyAndDisposed(Simulator sim)
    {
        using (var line = new Line(sim.Path))
        {
            line.Upload(Three.Skip(1));
            using (IEnumerator<Article> e = line.Download().GetEnumerator())
                Check(e.MoveNext() && e.Current.Code == "42", "an enumeration left early");
            foreach (Article a in line.Download()) break;
            Check(line.Download().Count() == 3, "leaves the line free for the next job");

            var disposing = new Reporter(n => { if (n == 1) line.Dispose(); });
            Throws<ObjectDisposedException>("a Line disposed under its download", () => line.Download(disposing).ToList());
            Throws<ObjectDisposedException>("a disposed Line refuses jobs", line.ZeroCounters);
            Throws<ObjectDisposedException>("and downloads", () => line.Download());
            line.Dispose();
        }
        using (var line = new Line(sim.Path))
            Check(line.Download().Count() == 3, "the device's session had ended cleanly");
        var lost = new Line(sim.Path);
        lost.Download().Count();
        lost = null;
        GC.Collect();
        GC.WaitForPendingFinalizers();  // a Line never disposed: its SafeHandle closes the handle
        using (var line = new Line(sim.Path))
            Check(line.Delete(Three.Select(a => a.Code)) == 3, "a Line left to its finalizer closes without harm");
    }
}
