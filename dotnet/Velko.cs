// Velko.cs: the C# wrapper over VELKO_DLL's extended API (namespace Velko), in one file.
//
// Built with mono's mcs against mscorlib alone (-noconfig) and kept to what mono's 4.x profile
// and netstandard2.0 share, so the same Velko.dll serves .NET Framework, mono and .NET Core/5+.
// Every import is cdecl and named "VELKO_DLL": VELKO_DLL.dll on Windows; on Linux mono maps the
// name with Velko.dll.config (to libvelko.so.1) and .NET Core finds libVELKO_DLL.so, the name
// it probes, which the NuGet package ships under runtimes/linux-x64/native.
//
// Names cross the library in Windows-1250 bytes, converted here by a table of printable ASCII
// and the 18 Polish letters, the only characters the device shows: nothing else is needed on
// .NET Core (no CodePagesEncodingProvider). The letters are written as escapes so the file
// compiles alike whatever encoding a compiler assumes for it.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Runtime.ExceptionServices;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace Velko
{
    /// <summary>The library's result codes: every job returns one, <see cref="Ok"/> is
    /// success.</summary>
    public enum ResultCode
    {
        /// <summary>VELKO_OK: success.</summary>
        Ok = 0,
        /// <summary>VELKO_ERR_ABORT: the download was stopped before the device's list
        /// ended, or Cancel stopped a job.</summary>
        Abort = 1,
        /// <summary>VELKO_ERR_OPEN: the line could not be opened or set up, or another call
        /// runs on it.</summary>
        Open = 2,
        /// <summary>VELKO_ERR_SEND: a write failed or a frame was never acknowledged.</summary>
        Send = 3,
        /// <summary>VELKO_ERR_READ: a read failed or timed out, or the device refused the
        /// request.</summary>
        Read = 4,
        /// <summary>VELKO_ERR_FORMAT: a malformed reply, or a request the library would not
        /// send.</summary>
        Format = 5,
        /// <summary>VELKO_ERR_CRC: a frame from the device failed its CRC check.</summary>
        Crc = 6,
        /// <summary>VELKO_ERR_PORT: port number outside 1..2 (the numbered functions).</summary>
        Port = 7,
        /// <summary>VELKO_ERR_ADDRESS: device number above 99.</summary>
        Address = 8,
        /// <summary>VELKO_ERR_HANDLE: the line handle is not open.</summary>
        Handle = 9,
    }

    /// <summary>Upload options, or-ed together.</summary>
    [Flags]
    public enum UploadOptions
    {
        /// <summary>Stop at the first article refused; send both preparatory commands.</summary>
        None = 0,
        /// <summary>Go on after an article the device refused.</summary>
        ContinueOnRefusal = 1,
        /// <summary>Leave out "W38;1;1;".</summary>
        SkipFirstPreparation = 2,
        /// <summary>Leave out "W38;2;1;".</summary>
        SkipSecondPreparation = 4,
    }

    /// <summary>What a job did.</summary>
    public sealed class Counts
    {
        internal Counts(NativeCounts c)
        {
            Accepted = c.Accepted;
            Refused = c.Refused;
            Received = c.Received;
            Deleted = c.Deleted;
        }

        /// <summary>Upload: articles the device stored.</summary>
        public int Accepted { get; private set; }
        /// <summary>Upload, and a deletion that goes on: refused by the device or before
        /// sending.</summary>
        public int Refused { get; private set; }
        /// <summary>Download: articles received.</summary>
        public int Received { get; private set; }
        /// <summary>Deletion: codes the device deleted.</summary>
        public int Deleted { get; private set; }
    }

    /// <summary>One article. <see cref="Quantity"/> and <see cref="Value"/> come with a
    /// download and are not uploaded.</summary>
    public sealed class Article
    {
        /// <summary>An article with group 1, flag 0 and no code or name yet.</summary>
        public Article() { Group = 1; }

        /// <summary>An article to upload.</summary>
        public Article(string code, string name, decimal price, int flag = 0, int group = 1)
        {
            Code = code;
            Name = name;
            Price = price;
            Flag = flag;
            Group = group;
        }

        /// <summary>1 to 14 digits, not all zeros; a download gives it without leading
        /// zeros.</summary>
        public string Code { get; set; }
        /// <summary>1 to 18 characters of printable ASCII and the Polish letters, without ';'
        /// and without $ ' ( ) [ \ ] ^ _ (which the device shows as Polish letters). The device
        /// keeps names in capitals.</summary>
        public string Name { get; set; }
        /// <summary>At most two decimals, from -21474836.48 to 21474836.47.</summary>
        public decimal Price { get; set; }
        /// <summary>0 or 1.</summary>
        public int Flag { get; set; }
        /// <summary>The device's group number, 0 to 128 (default 1).</summary>
        public int Group { get; set; }
        /// <summary>The quantity counter, three decimals (download only).</summary>
        public decimal Quantity { get; set; }
        /// <summary>The value counter, two decimals (download only).</summary>
        public decimal Value { get; set; }

        /// <summary>"code;name;price;flag;group;quantity;value", amounts with a point.</summary>
        public override string ToString()
        {
            return string.Join(";", new[] {
                Code, Name, Price.ToString(CultureInfo.InvariantCulture),
                Flag.ToString(CultureInfo.InvariantCulture),
                Group.ToString(CultureInfo.InvariantCulture),
                Quantity.ToString(CultureInfo.InvariantCulture),
                Value.ToString(CultureInfo.InvariantCulture) });
        }
    }

    /// <summary>A job ended with a result code other than <see cref="ResultCode.Ok"/>.</summary>
    public sealed class VelkoException : Exception
    {
        internal VelkoException(ResultCode code, string detail, Counts counts)
            : base(Compose(code, ref detail))
        {
            Code = code;
            Detail = detail;
            Counts = counts;
        }

        /// <summary>The library's result code.</summary>
        public ResultCode Code { get; private set; }
        /// <summary>What went wrong in words, from VELKOLineFailure, when the library knows more
        /// than the code says (which article the device refused and what it answered, why the
        /// line would not open); otherwise null.</summary>
        public string Detail { get; private set; }
        /// <summary>What the job did before it ended; null for a counter reset and for
        /// SetTrace.</summary>
        public Counts Counts { get; private set; }

        static string Compose(ResultCode code, ref string detail)
        {
            string message = Library.ResultMessage(code);
            // The library falls back to the code's own message when it knows nothing more.
            if (string.IsNullOrEmpty(detail) || detail == message)
            {
                detail = null;
                return message;
            }
            int colon = message.IndexOf(':');
            return (colon < 0 ? message : message.Substring(0, colon)) + ": " + detail;
        }
    }

    /// <summary>The library itself.</summary>
    public static class Library
    {
        /// <summary>The version of the library loaded, "MAJOR.MINOR.PATCH"
        /// (VELKOVersion).</summary>
        public static string Version
        {
            get { return Marshal.PtrToStringAnsi(Native.VELKOVersion()); }
        }

        /// <summary>A result code in one line of English: its name, what it means and what to
        /// check (VELKOResultMessage).</summary>
        public static string ResultMessage(ResultCode code)
        {
            return Marshal.PtrToStringAnsi(Native.VELKOResultMessage((int)code));
        }
    }

    /// <summary>A device on a line: a device path ("/dev/ttyUSB0"), a COM name ("COM3") or
    /// "tcp://HOST:PORT". Nothing is opened until a job runs, and each job opens the line, runs
    /// one device session and releases the line. A Line runs one job at a time; two Lines run at
    /// once from two threads. Disposing a Line while a job runs on it (from a callback or another
    /// thread) ends that job's device session at the next article and releases the handle after
    /// it; the job then throws ObjectDisposedException, as does every later call.</summary>
    public sealed class Line : IDisposable
    {
        readonly LineHandle handle;
        readonly string name;
        int baud, device;
        volatile bool disposed;
        int busy;  // 1 while a job runs on this Line

        /// <summary>A handle on <paramref name="line"/> for the device numbered
        /// <paramref name="device"/> (0 to 99) at <paramref name="baud"/>.</summary>
        public Line(string line, int baud = 9600, int device = 1)
        {
            if (string.IsNullOrEmpty(line))
                throw new ArgumentException("the line is null or empty", "line");
            Baud = baud;
            Device = device;
            name = line;
            handle = Native.VELKOLineOpen(line);
            if (handle.IsInvalid)
            {
                handle.SetHandleAsInvalid();
                throw new ArgumentException("the library would not open a handle on " + line,
                                            "line");
            }
        }

        /// <summary>The line's rate in baud.</summary>
        public int Baud
        {
            get { return baud; }
            set
            {
                if (value <= 0)
                    throw new ArgumentOutOfRangeException("value", value, "baud must be positive");
                baud = value;
            }
        }

        /// <summary>The device number, 0 to 99.</summary>
        public int Device
        {
            get { return device; }
            set
            {
                if (value < 0 || value > 99)
                    throw new ArgumentOutOfRangeException("value", value,
                                                          "device must be from 0 to 99");
                device = value;
            }
        }

        /// <summary>Appends a time-stamped trace of every step of this Line's jobs to
        /// <paramref name="file"/> (at most 128 characters, in the system's code page on
        /// Windows); null or "" stops it.</summary>
        public void SetTrace(string file)
        {
            Run(delegate {
                int rc = Native.VELKOLineSetTrace(handle, file);
                if (rc != 0) throw Failure(rc, null);
            });
        }

        /// <summary>Uploads the articles and returns the counts. Every article is checked
        /// first, by the wrapper's range checks and the library's VELKOCheckArticle, and so is
        /// every code against the earlier ones: ArgumentException, naming the article's index,
        /// the field and the value, for the first that cannot go, and nothing is sent. A refusal
        /// by the device ends the upload with VelkoException (ResultCode.Read) unless
        /// <see cref="UploadOptions.ContinueOnRefusal"/>. <paramref name="progress"/> is told
        /// how many articles the device has answered, on the calling thread; an exception it
        /// throws ends the upload at the next article and comes out of Upload.</summary>
        public Counts Upload(IEnumerable<Article> articles,
                             UploadOptions options = UploadOptions.None,
                             IProgress<int> progress = null)
        {
            return Upload(articles, options, progress, CancellationToken.None);
        }

        /// <summary>The same, stopped at the next article when <paramref name="cancellation"/>
        /// is cancelled: the device's session is ended as it should be and
        /// OperationCanceledException is thrown; what was uploaded before stays.</summary>
        public Counts Upload(IEnumerable<Article> articles, UploadOptions options,
                             IProgress<int> progress, CancellationToken cancellation)
        {
            ThrowIfDisposed();
            List<Record> records = Records(articles);
            var call = new Call(this, progress, cancellation);
            Native.Supplier supplier = call.Supplier(records);
            var counts = new NativeCounts();
            return Run(delegate {
                int rc;
                using (call.Watch())
                {
                    rc = Native.VELKOLineSendArticles(handle, (uint)baud, (uint)device,
                                                      (uint)options, supplier, IntPtr.Zero,
                                                      call.Progress, ref counts);
                }
                GC.KeepAlive(supplier);
                return call.Finish(rc, counts);
            });
        }

        /// <summary>The device's articles with their counters. One device session runs when the
        /// enumeration starts and gathers the whole list before the first article is yielded,
        /// so an enumeration left early leaves no session open, and each enumeration downloads
        /// anew. <paramref name="progress"/> is told how many articles have arrived.</summary>
        public IEnumerable<Article> Download(IProgress<int> progress = null)
        {
            return Download(progress, CancellationToken.None);
        }

        /// <summary>The same, stopped when <paramref name="cancellation"/> is cancelled: the
        /// device's session is ended and OperationCanceledException is thrown.</summary>
        public IEnumerable<Article> Download(IProgress<int> progress,
                                             CancellationToken cancellation)
        {
            ThrowIfDisposed();
            return Downloaded(progress, cancellation);
        }

        IEnumerable<Article> Downloaded(IProgress<int> progress, CancellationToken cancellation)
        {
            var articles = new List<Article>();
            var call = new Call(this, progress, cancellation);
            Native.Consumer consumer = call.Consumer(articles);
            var counts = new NativeCounts();
            Run(delegate {
                int rc;
                using (call.Watch())
                {
                    rc = Native.VELKOLineReceiveArticles(handle, (uint)baud, (uint)device,
                                                         consumer, IntPtr.Zero, call.Progress,
                                                         ref counts);
                }
                GC.KeepAlive(consumer);
                return call.Finish(rc, counts);
            });
            foreach (Article article in articles)
                yield return article;
        }

        /// <summary>Deletes the articles by code and returns how many the device deleted. Every
        /// code is checked first: ArgumentException for the first that is not 1 to 14 digits
        /// or is all zeros, and nothing is sent. A code the device refuses (one it does not
        /// have) ends the deletion with VelkoException (ResultCode.Read), its Detail naming the
        /// code.</summary>
        public int Delete(IEnumerable<string> codes, IProgress<int> progress = null)
        {
            return Delete(codes, progress, CancellationToken.None);
        }

        /// <summary>The same, stopped at the next code when <paramref name="cancellation"/> is
        /// cancelled: OperationCanceledException, what was deleted before stays deleted.</summary>
        public int Delete(IEnumerable<string> codes, IProgress<int> progress,
                          CancellationToken cancellation)
        {
            return Delete(codes, false, progress, cancellation).Deleted;
        }

        /// <summary>The same; with <paramref name="continueOnRefusal"/> a code the device
        /// refuses is counted in Refused and the deletion goes on with the others.</summary>
        public Counts Delete(IEnumerable<string> codes, bool continueOnRefusal,
                             IProgress<int> progress = null,
                             CancellationToken cancellation = default(CancellationToken))
        {
            ThrowIfDisposed();
            if (codes == null) throw new ArgumentNullException("codes");
            var records = new List<Record>();
            foreach (string code in codes)
            {
                string where = "codes[" + records.Count + "]: ";
                Record r = Record.Empty();
                r.Code = CodeBytes(code, where, "codes");
                r.Name[0] = (byte)'X';  // the library's check asks for a name; only the code counts
                LibraryCheck(ref r, where, "codes");
                records.Add(r);
            }
            var call = new Call(this, progress, cancellation);
            Native.Supplier supplier = call.Supplier(records);
            var counts = new NativeCounts();
            return Run(delegate {
                int rc;
                using (call.Watch())
                {
                    rc = continueOnRefusal
                        ? Native.VELKOLineDeleteArticlesEx(handle, (uint)baud, (uint)device,
                                                           (uint)UploadOptions.ContinueOnRefusal,
                                                           supplier, IntPtr.Zero, call.Progress,
                                                           ref counts)
                        : Native.VELKOLineDeleteArticles(handle, (uint)baud, (uint)device,
                                                         supplier, IntPtr.Zero, call.Progress,
                                                         ref counts);
                }
                GC.KeepAlive(supplier);
                return call.Finish(rc, counts);
            });
        }

        /// <summary>Zeroes the device's PLU counters: the day's sales are gone afterwards. A
        /// VelkoException whose Detail says the device took the request but never answered
        /// means the counters may be zeroed.</summary>
        public void ZeroCounters()
        {
            Run(delegate {
                int rc = Native.VELKOLineZeroPLUCounters(handle, (uint)baud, (uint)device);
                if (rc != 0) throw Failure(rc, null);
            });
        }

        /// <summary>Stops the job running on this Line at its next article, from any thread: the
        /// device's session is ended as it should be, and the job throws VelkoException
        /// (ResultCode.Abort) with its counts; what was done before stays done. With no job
        /// running it does nothing, now or later; ZeroCounters runs to its end.</summary>
        public void Cancel()
        {
            if (disposed) return;
            try
            {
                Native.VELKOLineCancel(handle);
            }
            catch (ObjectDisposedException)
            {
                // Disposed meanwhile: the job ends on that.
            }
        }

        /// <summary>Ends the handle. A job running on this Line ends its device session at the
        /// next article and throws ObjectDisposedException; the handle goes once it has
        /// returned. A second Dispose does nothing.</summary>
        public void Dispose()
        {
            disposed = true;
            handle.Dispose();  // a SafeHandle: released only after a call using it returns
        }

        // One job at a time on this Line: the library would refuse a second with
        // VELKO_ERR_OPEN, and then report the other job's outcome as the last.
        T Run<T>(Func<T> job)
        {
            ThrowIfDisposed();
            if (Interlocked.CompareExchange(ref busy, 1, 0) != 0)
            {
                throw new VelkoException(ResultCode.Open,
                                         "another call runs on this Line: one at a time", null);
            }
            try
            {
                return job();
            }
            finally
            {
                Volatile.Write(ref busy, 0);
            }
        }

        void Run(Action job)
        {
            Run<bool>(delegate { job(); return true; });
        }

        void ThrowIfDisposed()
        {
            if (disposed)
                throw new ObjectDisposedException("Line", "the Line on " + name + " was disposed");
        }

        VelkoException Failure(int rc, Counts counts)
        {
            var text = new byte[1024];
            // A call turned away because another ran leaves the other's outcome: not ours.
            int last = Native.VELKOLineFailure(handle, text, (uint)text.Length);
            return new VelkoException((ResultCode)rc, last == rc ? Utf8(text) : null, counts);
        }

        // ---- Checks and conversions ----

        static readonly decimal LowestPrice = -21474836.48m, HighestPrice = 21474836.47m;

        static List<Record> Records(IEnumerable<Article> articles)
        {
            if (articles == null) throw new ArgumentNullException("articles");
            var records = new List<Record>();
            var seen = new Dictionary<ulong, int>();
            foreach (Article a in articles)
            {
                int index = records.Count;
                string where = "articles[" + index + "]: ";
                if (a == null) throw new ArgumentNullException("articles", where + "null");
                Record r = Record.Empty();
                r.Code = CodeBytes(a.Code, where, "articles");
                r.Name = NameBytes(a.Name, where);
                r.Price = Hundredths(a.Price, where);
                if (a.Flag != 0 && a.Flag != 1)
                    throw Bad(where, "flag " + Number(a.Flag) + " is not 0 or 1");
                r.Flag = (byte)a.Flag;
                if (a.Group < 0 || a.Group > 128)
                    throw Bad(where, "group " + Number(a.Group) + " is not from 0 to 128");
                r.Group = (sbyte)(a.Group - 1);
                LibraryCheck(ref r, where, "articles");
                // 000123 is 123: the device would keep only the last of the two.
                ulong key = ulong.Parse(a.Code, NumberStyles.None, CultureInfo.InvariantCulture);
                int earlier;
                if (seen.TryGetValue(key, out earlier))
                {
                    throw Bad(where, "code '" + a.Code + "' is the code of articles[" + earlier +
                              "] too: the device would keep only the last");
                }
                seen.Add(key, index);
                records.Add(r);
            }
            return records;
        }

        static ArgumentException Bad(string where, string what)
        {
            return new ArgumentException(where + what, "articles");
        }

        static string Number(int n)
        {
            return n.ToString(CultureInfo.InvariantCulture);
        }

        static byte[] CodeBytes(string code, string where, string parameter)
        {
            if (code == null) throw new ArgumentNullException(parameter, where + "code is null");
            bool digits = code.Length >= 1 && code.Length <= 14;
            foreach (char c in code) digits &= c >= '0' && c <= '9';
            if (!digits)
                throw new ArgumentException(where + "code '" + code + "' is not 1 to 14 digits",
                                            parameter);
            var bytes = new byte[15];
            for (int i = 0; i < code.Length; ++i) bytes[i] = (byte)code[i];
            return bytes;
        }

        static byte[] NameBytes(string name, string where)
        {
            if (name == null) throw new ArgumentNullException("articles", where + "name is null");
            if (name.Length < 1 || name.Length > 18)
                throw Bad(where, "name '" + name + "' has " + Number(name.Length) +
                                 " characters, not 1 to 18");
            var bytes = new byte[19];
            for (int i = 0; i < name.Length; ++i)
            {
                int b = Windows1250.Byte(name[i]);
                if (b <= 0)
                {
                    throw Bad(where, "name '" + name.Replace("\0", "\\0") + "': " +
                              (b == 0 ? "a NUL character would end it"
                                      : "'" + name[i] + "' (U+" + ((int)name[i]).ToString("X4",
                                        CultureInfo.InvariantCulture) + ") is not a character " +
                                        "the device shows (printable ASCII and the 18 Polish " +
                                        "letters, in Windows-1250)"));
                }
                bytes[i] = (byte)b;
            }
            return bytes;
        }

        static int Hundredths(decimal price, string where)
        {
            string shown = price.ToString(CultureInfo.InvariantCulture);
            if (decimal.Round(price, 2) != price)
                throw Bad(where, "price " + shown + " has more than two decimals");
            if (price < LowestPrice || price > HighestPrice)
                throw Bad(where, "price " + shown + " is not from -21474836.48 to 21474836.47");
            return decimal.ToInt32(price * 100m);
        }

        // The device's own rules, kept by the library: no ';', none of the nine characters the
        // device shows as Polish letters, a code that is not all zeros.
        static void LibraryCheck(ref Record r, string where, string parameter)
        {
            var reason = new byte[1024];
            if (Native.VELKOCheckArticle(ref r, reason, (uint)reason.Length) != 0)
                throw new ArgumentException(where + Utf8(reason), parameter);
        }

        static string Utf8(byte[] text)
        {
            int length = Array.IndexOf(text, (byte)0);
            return Encoding.UTF8.GetString(text, 0, length < 0 ? text.Length : length);
        }

        internal static Article FromRecord(Record r)
        {
            int codeLength = Array.IndexOf(r.Code, (byte)0);
            string code = Encoding.ASCII.GetString(r.Code, 0, codeLength < 0 ? 15 : codeLength)
                                  .TrimStart('0');
            return new Article {
                Code = code.Length > 0 ? code : "0",
                Name = Windows1250.Text(r.Name),
                Price = Scaled(r.Price, 2),
                Flag = r.Flag,
                Group = r.Group + 1,
                Quantity = Scaled(r.Quantity, 3),
                Value = Scaled(r.Value, 2),
            };
        }

        // 450 at scale 2 is 4.50, with its two decimals kept.
        static decimal Scaled(int value, byte scale)
        {
            long magnitude = Math.Abs((long)value);
            return new decimal((int)(uint)magnitude, 0, 0, value < 0, scale);
        }

        // ---- One job's callbacks ----

        // The callbacks of one job. Nothing may be thrown back through the library: an
        // exception is kept, the job ends at its next article and Finish throws it. The
        // delegates live in this object, which the job holds until the call has returned.
        sealed class Call
        {
            readonly Line line;
            readonly IProgress<int> report;
            readonly CancellationToken cancellation;
            Exception failure;
            bool cut;  // a callback ended the job because the Line was disposed
            public readonly Native.Progress Progress;

            public Call(Line line, IProgress<int> report,
                        CancellationToken cancellation = default(CancellationToken))
            {
                this.line = line;
                this.report = report;
                this.cancellation = cancellation;
                Progress = report == null ? null : new Native.Progress(OnProgress);
            }

            // While the library's call runs: a cancellation cancels the job on the Line.
            public CancellationTokenRegistration Watch()
            {
                cancellation.ThrowIfCancellationRequested();
                return cancellation.Register(line.Cancel);
            }

            bool Stopping
            {
                get
                {
                    cut = cut || line.disposed;
                    return cut || failure != null;
                }
            }

            void OnProgress(IntPtr context, int done)
            {
                if (Stopping) return;
                try { report.Report(done); }
                catch (Exception e) { failure = e; }
            }

            public Native.Supplier Supplier(List<Record> records)
            {
                return delegate(IntPtr context, int index, IntPtr record) {
                    if (Stopping || index < 0 || index >= records.Count) return 0;
                    try
                    {
                        Marshal.StructureToPtr(records[index], record, false);
                        return 1;
                    }
                    catch (Exception e)
                    {
                        failure = e;
                        return 0;
                    }
                };
            }

            public Native.Consumer Consumer(List<Article> articles)
            {
                return delegate(IntPtr context, int index, IntPtr record) {
                    if (Stopping) return 0;  // the library ends the device's session
                    try
                    {
                        articles.Add(FromRecord((Record)Marshal.PtrToStructure(record,
                                                                               typeof(Record))));
                        return 1;
                    }
                    catch (Exception e)
                    {
                        failure = e;
                        return 0;
                    }
                };
            }

            public Counts Finish(int rc, NativeCounts native)
            {
                GC.KeepAlive(Progress);
                var counts = new Counts(native);
                if (failure != null) ExceptionDispatchInfo.Capture(failure).Throw();
                if (cut)
                {
                    throw new ObjectDisposedException("Line", "the Line on " + line.name +
                        " was disposed during the job, which ended there");
                }
                if (rc == (int)ResultCode.Abort && cancellation.IsCancellationRequested)
                {
                    throw new OperationCanceledException("cancelled on " + line.name +
                        ", what was done before stays done", cancellation);
                }
                if (rc != 0) throw line.Failure(rc, counts);
                return counts;
            }
        }
    }

    // Printable ASCII and the 18 Polish letters, to and from Windows-1250.
    static class Windows1250
    {
        const string Letters = "\u0104\u0105\u0106\u0107\u0118\u0119\u0141\u0142\u0143\u0144" +
                               "\u00D3\u00F3\u015A\u015B\u0179\u017A\u017B\u017C";
        static readonly byte[] Bytes = { 0xA5, 0xB9, 0xC6, 0xE6, 0xCA, 0xEA, 0xA3, 0xB3, 0xD1,
                                         0xF1, 0xD3, 0xF3, 0x8C, 0x9C, 0x8F, 0x9F, 0xAF, 0xBF };

        // The byte for c; 0 for NUL, -1 for what the device cannot show. ASCII control
        // characters pass here and are refused by the library's check, with the byte named.
        public static int Byte(char c)
        {
            if (c < 0x80) return c;
            int i = Letters.IndexOf(c);
            return i < 0 ? -1 : Bytes[i];
        }

        // A NUL-terminated name; a byte the device would never give comes out as U+FFFD.
        public static string Text(byte[] name)
        {
            var text = new StringBuilder(name.Length);
            foreach (byte b in name)
            {
                if (b == 0) break;
                int i = b < 0x80 ? -1 : Array.IndexOf(Bytes, b);
                text.Append(b < 0x80 ? (char)b : i < 0 ? '\uFFFD' : Letters[i]);
            }
            return text.ToString();
        }
    }

    // ArticleRecord of velko.h: 48 bytes, packed.
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    struct Record
    {
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 15)] public byte[] Code;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 19)] public byte[] Name;  // Windows-1250
        public int Price;     // hundredths
        public byte Flag;     // 0 or 1
        public sbyte Group;   // device group number minus 1
        public int Quantity;  // thousandths
        public int Value;     // hundredths

        public static Record Empty()
        {
            return new Record { Code = new byte[15], Name = new byte[19] };
        }
    }

    // VelkoCounts of velko.h.
    [StructLayout(LayoutKind.Sequential)]
    struct NativeCounts
    {
        public int Accepted, Refused, Received, Deleted;
    }

    // VelkoLine*: closed with VELKOLineClose, and only after every call using it has returned.
    sealed class LineHandle : SafeHandle
    {
        public LineHandle() : base(IntPtr.Zero, true) { }

        public override bool IsInvalid
        {
            get { return handle == IntPtr.Zero; }
        }

        protected override bool ReleaseHandle()
        {
            Native.VELKOLineClose(handle);
            return true;
        }
    }

    // The library's exports used here (velko.h), all cdecl.
    static class Native
    {
        const string Dll = "VELKO_DLL";
        const CallingConvention Cdecl = CallingConvention.Cdecl;

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        public delegate int Supplier(IntPtr context, int index, IntPtr record);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        public delegate int Consumer(IntPtr context, int index, IntPtr record);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        public delegate void Progress(IntPtr context, int done);

        [DllImport(Dll, CallingConvention = Cdecl, CharSet = CharSet.Ansi, BestFitMapping = false)]
        public static extern LineHandle VELKOLineOpen(string line);
        [DllImport(Dll, CallingConvention = Cdecl)]
        public static extern void VELKOLineClose(IntPtr line);
        [DllImport(Dll, CallingConvention = Cdecl, CharSet = CharSet.Ansi, BestFitMapping = false)]
        public static extern int VELKOLineSetTrace(LineHandle line, string file);
        [DllImport(Dll, CallingConvention = Cdecl)]
        public static extern int VELKOLineCancel(LineHandle line);
        [DllImport(Dll, CallingConvention = Cdecl)]
        public static extern int VELKOLineSendArticles(LineHandle line, uint baud, uint device,
                                                       uint options, Supplier supplier,
                                                       IntPtr context, Progress progress,
                                                       ref NativeCounts counts);
        [DllImport(Dll, CallingConvention = Cdecl)]
        public static extern int VELKOLineReceiveArticles(LineHandle line, uint baud, uint device,
                                                          Consumer consumer, IntPtr context,
                                                          Progress progress,
                                                          ref NativeCounts counts);
        [DllImport(Dll, CallingConvention = Cdecl)]
        public static extern int VELKOLineDeleteArticles(LineHandle line, uint baud, uint device,
                                                         Supplier supplier, IntPtr context,
                                                         Progress progress,
                                                         ref NativeCounts counts);
        [DllImport(Dll, CallingConvention = Cdecl)]
        public static extern int VELKOLineDeleteArticlesEx(LineHandle line, uint baud, uint device,
                                                           uint options, Supplier supplier,
                                                           IntPtr context, Progress progress,
                                                           ref NativeCounts counts);
        [DllImport(Dll, CallingConvention = Cdecl)]
        public static extern int VELKOLineZeroPLUCounters(LineHandle line, uint baud,
                                                          uint device);
        [DllImport(Dll, CallingConvention = Cdecl)]
        public static extern int VELKOLineFailure(LineHandle line, [Out] byte[] text, uint size);
        [DllImport(Dll, CallingConvention = Cdecl)]
        public static extern int VELKOCheckArticle(ref Record record, [Out] byte[] reason,
                                                   uint size);
        [DllImport(Dll, CallingConvention = Cdecl)]
        public static extern IntPtr VELKOVersion();
        [DllImport(Dll, CallingConvention = Cdecl)]
        public static extern IntPtr VELKOResultMessage(int rc);
    }
}
