// Reads every word of the ROM and checks it against the vmem file that the
// command line wrote from the same executable.
module tb;
  localparam int DEPTH = 1024;
  logic [9:0]  addr;
  logic [31:0] data;
  logic [31:0] expected [0:DEPTH-1];
  rom #(.DEPTH(DEPTH)) dut (.addr(addr), .data(data));

  initial begin
    string vmem;
    int bad = 0;
    if (!$value$plusargs("vmem=%s", vmem)) $fatal(1, "give +vmem=FILE");
    $readmemh(vmem, expected);
    #1;
    for (int i = 0; i < DEPTH; i++) begin
      addr = i[9:0];
      #1;
      if (data !== expected[i]) begin
        if (bad < 5) $display("word %0d: %h, the vmem has %h", i, data, expected[i]);
        bad++;
      end
    end
    if (bad == 0) $display("ok: %0d words", DEPTH);
    else $fatal(1, "%0d words differ", bad);
    $finish;
  end
endmodule
